#pragma once

#include "platform/KeyboardEventClock.h"

#include <vector>

namespace lullswitch::linux_backend {

// Several keyboard clocks as one: for each event type the newest event of any
// source counts, that is the smallest valid reading. A source that cannot
// tell (NaN, negative or infinite readings) is passed over. While no source
// gives any valid reading at all, every reading is 0: without a way to see
// keys, the keyboard is never taken for idle, so nothing is switched.
class MergedKeyboardEventClock final : public platform::KeyboardEventClock {
public:
    // The source must outlive this clock.
    void addSource(platform::KeyboardEventClock& source);
    // Some source gives a valid reading now.
    bool hasReadings();

    double secondsSinceLastEvent(platform::KeyboardEventType type) override;

private:
    // The smallest valid reading of any source, or NaN.
    double newest(platform::KeyboardEventType type);

    std::vector<platform::KeyboardEventClock*> sources_;
};

} // namespace lullswitch::linux_backend
