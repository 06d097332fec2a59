#pragma once

#include "platform/KeyboardEventClock.h"

#include <array>

namespace lullswitch::fakes {

// Scripted idle readings, one per event type.
class FakeKeyboardEventClock final : public platform::KeyboardEventClock {
public:
    double secondsSinceLastEvent(platform::KeyboardEventType type) override
    {
        ++reads_;
        return readings_[static_cast<std::size_t>(type)];
    }

    void set(double keyDown, double keyUp, double flagsChanged) { readings_ = { keyDown, keyUp, flagsChanged }; }
    void setIdle(double seconds) { set(seconds, seconds, seconds); }
    int readCount() const { return reads_; }

private:
    std::array<double, 3> readings_ {};
    int reads_ = 0;
};

} // namespace lullswitch::fakes
