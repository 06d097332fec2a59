#include "platform/linux/GLibRegistrations.h"

namespace lullswitch::linux_backend {

namespace {

gboolean runOnce(gpointer data)
{
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void deleteCallback(gpointer data)
{
    delete static_cast<std::function<void()>*>(data);
}

} // namespace

ScheduledCall ScheduledCall::attach(GSource* source, std::function<void()> callback, int priority)
{
    ScheduledCall call;
    call.source_.reset(source);
    g_source_set_priority(source, priority);
    g_source_set_callback(source, runOnce, new std::function<void()>(std::move(callback)), deleteCallback);
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
