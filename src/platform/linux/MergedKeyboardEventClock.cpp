#include "platform/linux/MergedKeyboardEventClock.h"

#include <limits>
#include <ranges>

namespace lullswitch::linux_backend {

namespace {

constexpr double noReading = std::numeric_limits<double>::quiet_NaN();

constexpr platform::KeyboardEventType allTypes[] = { platform::KeyboardEventType::keyDown,
    platform::KeyboardEventType::keyUp, platform::KeyboardEventType::flagsChanged };

} // namespace

void MergedKeyboardEventClock::addSource(platform::KeyboardEventClock& source)
{
    sources_.push_back(&source);
}

double MergedKeyboardEventClock::newest(platform::KeyboardEventType type)
{
    // Read as they are taken: nothing is allocated on the timer's path.
    return platform::smallestValidReading(
        sources_ | std::views::transform([type](auto* source) { return source->secondsSinceLastEvent(type); }),
        noReading);
}

bool MergedKeyboardEventClock::hasReadings()
{
    for (const auto type : allTypes)
        if (!std::isnan(newest(type)))
            return true;
    return false;
}

double MergedKeyboardEventClock::secondsSinceLastEvent(platform::KeyboardEventType type)
{
    const double seconds = newest(type);
    if (std::isnan(seconds) && !hasReadings())
        return 0.0;
    return seconds;
}

} // namespace lullswitch::linux_backend
