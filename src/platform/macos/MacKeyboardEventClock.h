#pragma once

#include "platform/KeyboardEventClock.h"

namespace lullswitch::macos_backend {

// CoreGraphics' per-type idle readings of the HID system state: elapsed times
// only, so no accessibility permission is needed and no key is seen.
class MacKeyboardEventClock final : public platform::KeyboardEventClock {
public:
    double secondsSinceLastEvent(platform::KeyboardEventType type) override;
};

} // namespace lullswitch::macos_backend
