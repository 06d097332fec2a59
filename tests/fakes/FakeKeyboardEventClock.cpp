#include "fakes/FakeKeyboardEventClock.h"

namespace lullswitch::fakes {

double FakeKeyboardEventClock::secondsSinceLastEvent(platform::KeyboardEventType type)
{
    ++reads_;
    return readings_[static_cast<std::size_t>(type)];
}

} // namespace lullswitch::fakes
