#include "platform/linux/MergedKeyboardEventClock.h"

#include <cmath>
#include <limits>

namespace lullswitch::linux_backend {

namespace {

bool isValid(double seconds)
{
    return std::isfinite(seconds) && seconds >= 0.0;
}

constexpr platform::KeyboardEventType allTypes[] = { platform::KeyboardEventType::keyDown,
    platform::KeyboardEventType::keyUp, platform::KeyboardEventType::flagsChanged };

} // namespace

void MergedKeyboardEventClock::addSource(platform::KeyboardEventClock& source)
{
    sources_.push_back(&source);
}

bool MergedKeyboardEventClock::hasReadings()
{
    for (auto* source : sources_)
        for (const auto type : allTypes)
            if (isValid(source->secondsSinceLastEvent(type)))
                return true;
    return false;
}

double MergedKeyboardEventClock::secondsSinceLastEvent(platform::KeyboardEventType type)
{
    double newest = std::numeric_limits<double>::quiet_NaN();
    for (auto* source : sources_) {
        const double seconds = source->secondsSinceLastEvent(type);
        if (isValid(seconds) && !(newest <= seconds))
            newest = seconds;
    }
    if (std::isnan(newest) && !hasReadings())
        return 0.0;
    return newest;
}

} // namespace lullswitch::linux_backend
