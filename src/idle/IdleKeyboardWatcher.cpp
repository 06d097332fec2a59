#include "idle/IdleKeyboardWatcher.h"

#include "platform/Platform.h"
#include "settings/SettingsStore.h"

namespace lullswitch {

std::shared_ptr<IdleKeyboardWatcher> IdleKeyboardWatcher::create(DelayProvider delayProvider)
{
    return std::make_shared<IdleKeyboardWatcher>(Key {}, std::move(delayProvider));
}

IdleKeyboardWatcher::IdleKeyboardWatcher(Key, DelayProvider delayProvider)
    : delayProvider_(std::move(delayProvider)) { }

IdleKeyboardWatcher::~IdleKeyboardWatcher()
{
    stop();
}

void IdleKeyboardWatcher::start()
{
    if (timer_)
        return;
    hasFiredForCurrentIdlePeriod_ = false;
    std::weak_ptr<IdleKeyboardWatcher> weakSelf = weak_from_this();
    timer_ = platform::services().mainLoop.scheduleRepeating(pollInterval, [weakSelf] {
        if (auto self = weakSelf.lock())
            self->tick();
    });
}

void IdleKeyboardWatcher::stop()
{
    timer_.reset();
    hasFiredForCurrentIdlePeriod_ = false;
}

void IdleKeyboardWatcher::restart()
{
    stop();
    start();
}

double IdleKeyboardWatcher::idleTimeFromReadings(const std::array<double, 3>& readings)
{
    return platform::smallestValidReading(readings, noValidReading);
}

double IdleKeyboardWatcher::secondsSinceLastKeyboardEvent() const
{
    using platform::KeyboardEventType;
    auto& clock = platform::services().keyboardEventClock;
    // All three are taken before any is examined.
    const std::array<double, 3> readings {
        clock.secondsSinceLastEvent(KeyboardEventType::keyDown),
        clock.secondsSinceLastEvent(KeyboardEventType::keyUp),
        clock.secondsSinceLastEvent(KeyboardEventType::flagsChanged),
    };
    return idleTimeFromReadings(readings);
}

void IdleKeyboardWatcher::tick()
{
    if (!SettingsStore::shared().isEnabled())
        return;
    const double idle = secondsSinceLastKeyboardEvent();
    const double delay = delayProvider_();
    // Ordered comparison: a NaN delay is never reached.
    if (delay <= idle) {
        if (hasFiredForCurrentIdlePeriod_)
            return;
        hasFiredForCurrentIdlePeriod_ = true;
        // A copy, so the callback may replace or clear onIdle while it runs.
        if (auto callback = onIdle)
            callback();
    } else {
        hasFiredForCurrentIdlePeriod_ = false;
    }
}

} // namespace lullswitch
