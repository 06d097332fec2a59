#pragma once

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

} // namespace lullswitch::platform
