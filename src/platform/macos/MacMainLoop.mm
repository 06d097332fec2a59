#include "platform/macos/MacMainLoop.h"

#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <cmath>
#include <cstdint>

namespace {

using namespace lullswitch::platform;

using Handler = std::function<void()>;

std::int64_t nanoseconds(double seconds)
{
    if (!std::isfinite(seconds) || seconds <= 0.0)
        return 0;
    return static_cast<std::int64_t>(std::llround(seconds * static_cast<double>(NSEC_PER_SEC)));
}

class GCDRepeatingTimer final : public RepeatingTimer {
public:
    GCDRepeatingTimer(double intervalSeconds, Handler handler)
        : handler_(std::make_shared<Handler>(std::move(handler)))
        , source_(dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue()))
    {
        const std::int64_t interval = nanoseconds(intervalSeconds);
        dispatch_source_set_timer(
            source_, dispatch_time(DISPATCH_TIME_NOW, interval), static_cast<std::uint64_t>(interval), 0);
        // The block holds the handler weakly: once the timer is gone, a run
        // already queued finds nothing. A run that destroys the timer keeps
        // its own strong copy until it returns.
        std::weak_ptr<Handler> weakHandler = handler_;
        dispatch_source_set_event_handler(source_, ^{
            if (const auto run = weakHandler.lock())
                (*run)();
        });
        dispatch_resume(source_);
    }

    ~GCDRepeatingTimer() override
    {
        handler_.reset();
        dispatch_source_cancel(source_);
    }

    GCDRepeatingTimer(const GCDRepeatingTimer &) = delete;
    GCDRepeatingTimer &operator=(const GCDRepeatingTimer &) = delete;

private:
    std::shared_ptr<Handler> handler_;
    dispatch_source_t source_;
};

} // namespace

namespace lullswitch::macos_backend {

TimerHandle MacMainLoop::scheduleRepeating(double intervalSeconds, std::function<void()> handler)
{
    return std::make_unique<GCDRepeatingTimer>(intervalSeconds, std::move(handler));
}

} // namespace lullswitch::macos_backend
