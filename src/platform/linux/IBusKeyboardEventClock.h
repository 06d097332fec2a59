#pragma once

#include "platform/KeyboardEventClock.h"
#include "platform/linux/IBusConnection.h"

namespace lullswitch::linux_backend {

// Keyboard idle readings from the IBus daemon: every application's key events
// pass through it on their way to the engine (on GNOME's Wayland session too),
// and a match rule gives this connection a copy of each. A copy is dropped
// unanswered, since any answer would reach the application; only the time it
// came is kept, nothing of the key.
class IBusKeyboardEventClock final : public platform::KeyboardEventClock {
public:
    // `onOversizedMessage`: see IBusConnection.
    explicit IBusKeyboardEventClock(std::function<void()> onOversizedMessage = {});
    IBusKeyboardEventClock(const IBusKeyboardEventClock&) = delete;
    IBusKeyboardEventClock& operator=(const IBusKeyboardEventClock&) = delete;

    // Seconds since the last key event, or since watching began while none
    // has come, whatever the type; NaN while no daemon is connected.
    double secondsSinceLastEvent(platform::KeyboardEventType type) override;

    bool isIBusRunning() const { return connection_.isConnected(); }

private:
    gint64 lastEventUs_;
    IBusConnection connection_;
};

} // namespace lullswitch::linux_backend
