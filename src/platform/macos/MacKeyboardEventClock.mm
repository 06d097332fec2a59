#include "platform/macos/MacKeyboardEventClock.h"

#import <CoreGraphics/CoreGraphics.h>

#include <limits>

namespace lullswitch::macos_backend {

double MacKeyboardEventClock::secondsSinceLastEvent(platform::KeyboardEventType type)
{
    CGEventType eventType;
    switch (type) {
    case platform::KeyboardEventType::keyDown:
        eventType = kCGEventKeyDown;
        break;
    case platform::KeyboardEventType::keyUp:
        eventType = kCGEventKeyUp;
        break;
    case platform::KeyboardEventType::flagsChanged:
        eventType = kCGEventFlagsChanged;
        break;
    default:
        // No such reading; the watcher drops invalid ones.
        return std::numeric_limits<double>::quiet_NaN();
    }
    return CGEventSourceSecondsSinceLastEventType(kCGEventSourceStateHIDSystemState, eventType);
}

} // namespace lullswitch::macos_backend
