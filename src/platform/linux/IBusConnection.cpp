#include "platform/linux/IBusConnection.h"

namespace lullswitch::linux_backend {

IBusConnection::IBusConnection(
    std::shared_ptr<Watcher> watcher, std::vector<std::string> matchRules, std::function<void()> onChange)
    : watcher_(std::move(watcher)),
      matchRules_(std::move(matchRules)),
      onChange_(std::move(onChange)),
      bus_(ibus_bus_new_async())
{
    g_signal_connect(bus_.get(), "connected", G_CALLBACK(onConnected), this);
    g_signal_connect(bus_.get(), "disconnected", G_CALLBACK(onDisconnected), this);
    if (ibus_bus_is_connected(bus_.get()))
        attach();
}

IBusConnection::~IBusConnection()
{
    g_signal_handlers_disconnect_by_data(bus_.get(), this);
    detach();
}

void IBusConnection::onConnected(IBusBus*, gpointer self)
{
    auto* connection = static_cast<IBusConnection*>(self);
    connection->attach();
    if (connection->onChange_)
        connection->onChange_();
}

void IBusConnection::onDisconnected(IBusBus*, gpointer self)
{
    auto* connection = static_cast<IBusConnection*>(self);
    connection->detach();
    if (connection->onChange_)
        connection->onChange_();
}

GDBusMessage* IBusConnection::filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer watcher)
{
    if (incoming && (*static_cast<std::shared_ptr<Watcher>*>(watcher))->consume(message)) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

void IBusConnection::attach()
{
    detach();
    GDBusConnection* connection = ibus_bus_get_connection(bus_.get());
    if (!connection)
        return;
    watcher_->restart();
    filtered_.reset(G_DBUS_CONNECTION(g_object_ref(connection)));
    // The filter may still run after its removal, so it holds the watcher.
    filterId_ = g_dbus_connection_add_filter(connection, filter, new std::shared_ptr<Watcher>(watcher_),
        [](gpointer watcher) { delete static_cast<std::shared_ptr<Watcher>*>(watcher); });
    for (const auto& rule : matchRules_) {
        g_dbus_connection_call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "AddMatch", g_variant_new("(s)", rule.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr,
            nullptr, nullptr);
    }
    hungUntil_ = 0;
}

void IBusConnection::detach()
{
    if (filtered_)
        g_dbus_connection_remove_filter(filtered_.get(), filterId_);
    filtered_.reset();
    filterId_ = 0;
}

bool IBusConnection::isConnected() const
{
    return filtered_ && !g_dbus_connection_is_closed(filtered_.get());
}

GVariantPtr IBusConnection::call(
    const char* path, const char* interface, const char* method, GVariant* parameters, const char* replyType)
{
    const GVariantPtr arguments = takeVariant(parameters);
    if (!isConnected() || g_get_monotonic_time() < hungUntil_)
        return nullptr;
    GError* rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_sync(filtered_.get(), "org.freedesktop.IBus", path, interface, method,
        arguments.get(), replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
        callTimeoutMs, nullptr, &rawError));
    const GErrorPtr error(rawError);
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        hungUntil_ = g_get_monotonic_time() + hungBackoffUs;
    return reply;
}

} // namespace lullswitch::linux_backend
