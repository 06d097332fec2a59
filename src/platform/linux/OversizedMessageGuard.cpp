#include "platform/linux/OversizedMessageGuard.h"

namespace lullswitch::linux_backend {

OversizedMessageGuard::OversizedMessageGuard(GDBusConnection* connection, std::function<void()> onRefused)
{
    state_->onRefused = std::move(onRefused);
    // The filter may still run once removed, so it holds the state.
    filter_ = FilterRegistration(connection,
        g_dbus_connection_add_filter(connection, onMessage, new std::shared_ptr<State>(state_),
            [](gpointer state) { delete static_cast<std::shared_ptr<State>*>(state); }));
}

OversizedMessageGuard::~OversizedMessageGuard()
{
    state_->onRefused = nullptr;
}

// In GDBus's worker thread. The message is freed here too, which for one of
// millions of strings takes a while: better here than on the main loop.
GDBusMessage* OversizedMessageGuard::onMessage(
    GDBusConnection* connection, GDBusMessage* message, gboolean incoming, gpointer state)
{
    GVariant* body = incoming ? g_dbus_message_get_body(message) : nullptr;
    const gsize size = body ? g_variant_get_size(body) : 0;
    if (size <= maximumBodyBytes)
        return message;
    if (g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL
        && !(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
        const GObjectPtr<GDBusMessage> refusal(g_dbus_message_new_method_error(message,
            "org.freedesktop.DBus.Error.LimitsExceeded", "A message of %zu bytes; at most %zu are taken",
            static_cast<std::size_t>(size), static_cast<std::size_t>(maximumBodyBytes)));
        g_dbus_connection_send_message(connection, refusal.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    }
    g_object_unref(message);

    const auto& shared = *static_cast<std::shared_ptr<State>*>(state);
    if (!shared->isPending.exchange(true)) {
        // Attached to the main context, which GLib allows from any thread.
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer pending) {
                const auto& self = *static_cast<std::shared_ptr<State>*>(pending);
                self->isPending = false;
                if (self->onRefused)
                    self->onRefused();
                return G_SOURCE_REMOVE;
            },
            new std::shared_ptr<State>(shared),
            [](gpointer pending) { delete static_cast<std::shared_ptr<State>*>(pending); });
    }
    return nullptr;
}

} // namespace lullswitch::linux_backend
