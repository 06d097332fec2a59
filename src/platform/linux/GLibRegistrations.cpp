#include "platform/linux/GLibRegistrations.h"

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
