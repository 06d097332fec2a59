#include "platform/macos/MacKeyboardEventClock.h"

#import <CoreGraphics/CoreGraphics.h>

#include <limits>

namespace lullswitch::platform::macos {

double MacKeyboardEventClock::secondsSinceLastEvent(KeyboardEventType type)
{
    CGEventType eventType;
    switch (type) {
    case KeyboardEventType::keyDown:
        eventType = kCGEventKeyDown;
        break;
    case KeyboardEventType::keyUp:
        eventType = kCGEventKeyUp;
        break;
    case KeyboardEventType::flagsChanged:
        eventType = kCGEventFlagsChanged;
        break;
    default:
        // No such reading; the watcher drops invalid ones.
        return std::numeric_limits<double>::quiet_NaN();
    }
    return CGEventSourceSecondsSinceLastEventType(kCGEventSourceStateHIDSystemState, eventType);
}

} // namespace lullswitch::platform::macos
