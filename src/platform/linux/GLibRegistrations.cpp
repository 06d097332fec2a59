#include "platform/linux/GLibRegistrations.h"

#include <memory>

namespace lullswitch::linux_backend {

namespace {

using Callback = std::function<void()>;

template <gboolean Result> gboolean runCallback(gpointer data)
{
    (*static_cast<Callback*>(data))();
    return Result;
}

} // namespace

void setCallback(GSource* source, Callback callback, bool repeat)
{
    g_source_set_callback(source, repeat ? runCallback<G_SOURCE_CONTINUE> : runCallback<G_SOURCE_REMOVE>,
        new Callback(std::move(callback)), [](gpointer data) { delete static_cast<Callback*>(data); });
}

ObjectRegistration exportObject(GDBusConnection* connection, const std::string& path, const char* introspectionXml,
    const GDBusInterfaceVTable& vtable, gpointer self)
{
    // The connection keeps its own reference to the interface description.
    const GDBusNodeInfoPtr node(g_dbus_node_info_new_for_xml(introspectionXml, nullptr));
    const guint id = g_dbus_connection_register_object(
        connection, path.c_str(), node->interfaces[0], &vtable, self, nullptr, nullptr);
    return ObjectRegistration(connection, id);
}

BusNameHandle watchBusName(GDBusConnection* connection, const char* name,
    std::function<void(const char* owner)> onAppeared, std::function<void()> onVanished)
{
    struct Handlers {
        std::function<void(const char*)> appeared;
        std::function<void()> vanished;
    };
    return BusNameHandle(
        g_bus_watch_name_on_connection(
            connection, name, G_BUS_NAME_WATCHER_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar* owner, gpointer handlers) {
                static_cast<Handlers*>(handlers)->appeared(owner);
            },
            [](GDBusConnection*, const gchar*, gpointer handlers) { static_cast<Handlers*>(handlers)->vanished(); },
            new Handlers { std::move(onAppeared), std::move(onVanished) },
            [](gpointer handlers) { delete static_cast<Handlers*>(handlers); }),
        g_bus_unwatch_name);
}

void callWithoutWaiting(GDBusConnection* connection, const char* name, const char* path, const char* interface,
    const char* method, GVariant* parameters, const char* replyType, int timeoutMs, const PendingCalls& pending,
    std::function<void(GVariant* reply)> onReply)
{
    using Reply = std::function<void(GVariant*)>;
    const GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NO_AUTO_START;
    const GVariantType* type = replyType ? G_VARIANT_TYPE(replyType) : nullptr;
    if (!onReply) {
        g_dbus_connection_call(
            connection, name, path, interface, method, parameters, type, flags, timeoutMs, nullptr, nullptr, nullptr);
        return;
    }
    g_dbus_connection_call(
        connection, name, path, interface, method, parameters, type, flags, timeoutMs, pending.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<Reply> reply(static_cast<Reply*>(data));
            GErrorPtr error;
            const GVariantPtr value(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, ErrorOut(error)));
            if (!wasCancelled(error.get()))
                (*reply)(value.get());
        },
        new Reply(std::move(onReply)));
}

ScheduledCall ScheduledCall::attach(GSource* source, std::function<void()> callback, int priority)
{
    ScheduledCall call;
    call.source_.reset(source);
    g_source_set_priority(source, priority);
    setCallback(source, std::move(callback), false);
    g_source_attach(source, nullptr);
    return call;
}

ScheduledCall ScheduledCall::idle(std::function<void()> callback, int priority)
{
    return attach(g_idle_source_new(), std::move(callback), priority);
}

ScheduledCall ScheduledCall::after(unsigned milliseconds, std::function<void()> callback)
{
    return attach(g_timeout_source_new(milliseconds), std::move(callback), G_PRIORITY_DEFAULT);
}

} // namespace lullswitch::linux_backend
