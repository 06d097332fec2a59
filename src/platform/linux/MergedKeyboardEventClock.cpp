#include "platform/linux/MergedKeyboardEventClock.h"

#include <limits>

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
    std::vector<double> readings;
    readings.reserve(sources_.size());
    for (auto* source : sources_)
        readings.push_back(source->secondsSinceLastEvent(type));
    return platform::smallestValidReading(readings, noReading);
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
