#pragma once

#include <cmath>

namespace lullswitch::platform {

enum class KeyboardEventType { keyDown, keyUp, flagsChanged };

// Elapsed time since the last keyboard event of one type, as the system sees
// it. Never the event's contents. A reading may be negative, infinite or NaN
// when the platform has none; the caller filters.
class KeyboardEventClock {
public:
    virtual ~KeyboardEventClock() = default;
    virtual double secondsSinceLastEvent(KeyboardEventType type) = 0;
};

// The smallest valid reading (finite and not negative) of several, or `none`
// when no reading is valid. The first valid one stays unless a later one is
// strictly smaller.
template <class Readings> double smallestValidReading(const Readings& readings, double none)
{
    bool hasValid = false;
    double smallest = none;
    for (double reading : readings) {
        if (!std::isfinite(reading) || reading < 0.0)
            continue;
        if (!hasValid || reading < smallest)
            smallest = reading;
        hasValid = true;
    }
    return smallest;
}

} // namespace lullswitch::platform
