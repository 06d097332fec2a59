#pragma once

#include "platform/KeyboardEventClock.h"

namespace lullswitch::platform::macos {

// CoreGraphics' per-type idle readings of the HID system state: elapsed times
// only, so no accessibility permission is needed and no key is seen.
class MacKeyboardEventClock final : public KeyboardEventClock {
public:
    double secondsSinceLastEvent(KeyboardEventType type) override;
};

} // namespace lullswitch::platform::macos
