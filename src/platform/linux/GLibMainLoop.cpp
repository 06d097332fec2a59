#include "platform/linux/GLibMainLoop.h"

#include "platform/linux/GLibRegistrations.h"

#include <cmath>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

class GLibRepeatingTimer : public platform::RepeatingTimer {
public:
    explicit GLibRepeatingTimer(GSourcePtr source) : source_(std::move(source)) { }

private:
    // Destroyed here: once the destructor returns, the source never dispatches.
    GSourcePtr source_;
};

guint toMilliseconds(double seconds)
{
    // NaN and negative intervals come out as 0: due at every iteration.
    const double milliseconds = std::round(seconds * 1000.0);
    if (!(milliseconds > 0.0))
        return 0;
    if (milliseconds >= static_cast<double>(G_MAXUINT))
        return G_MAXUINT;
    return static_cast<guint>(milliseconds);
}

} // namespace

platform::TimerHandle GLibMainLoop::scheduleRepeating(double intervalSeconds, std::function<void()> handler)
{
    GSourcePtr source(g_timeout_source_new(toMilliseconds(intervalSeconds)));
    g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
    g_source_set_static_name(source.get(), "lullswitch repeating timer");
    setCallback(source.get(), std::move(handler), true);
    GMainContext* context = g_main_context_ref_thread_default();
    g_source_attach(source.get(), context);
    g_main_context_unref(context);
    return std::make_unique<GLibRepeatingTimer>(std::move(source));
}

} // namespace lullswitch::linux_backend
