#pragma once

#include "platform/KeyboardEventClock.h"
#include "platform/linux/IBusConnection.h"

#include <memory>

namespace lullswitch::linux_backend {

// Keyboard idle readings from the IBus daemon: every application's key events
// pass through it on their way to the engine (on GNOME's Wayland session too),
// and a match rule gives this connection a copy of each. A copy is dropped
// unanswered, since any answer would reach the application; only the time it
// came and whether it was a press, a release or a modifier key are kept.
class IBusKeyboardEventClock final : public platform::KeyboardEventClock {
public:
    IBusKeyboardEventClock();
    ~IBusKeyboardEventClock() override;
    IBusKeyboardEventClock(const IBusKeyboardEventClock&) = delete;
    IBusKeyboardEventClock& operator=(const IBusKeyboardEventClock&) = delete;

    // Seconds since the last event of that type, or since watching began
    // while none has come; NaN while no daemon is connected.
    double secondsSinceLastEvent(platform::KeyboardEventType type) override;

    bool isIBusRunning() const { return connection_.isConnected(); }

private:
    class Watch;

    std::shared_ptr<Watch> watch_;
    IBusConnection connection_;
};

} // namespace lullswitch::linux_backend
