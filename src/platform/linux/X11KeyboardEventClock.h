#pragma once

#include "platform/KeyboardEventClock.h"

#include <memory>

namespace lullswitch::linux_backend {

// Keyboard idle readings from an X server, on a connection of its own: raw key
// presses and releases (XInput 2.2) for key down and key up, XKB modifier
// state changes for modifier changes. Only the time at which each event
// arrives is kept; which key it was is never read. The connection is a source
// on the default GLib main context, drained whenever events come, so the
// readings are as fresh as the main loop's last iteration.
class X11KeyboardEventClock final : public platform::KeyboardEventClock {
public:
    // Connects to `displayName` (DISPLAY when null) and starts watching.
    // Nothing when no display can be opened.
    static std::unique_ptr<X11KeyboardEventClock> open(const char* displayName = nullptr);

    ~X11KeyboardEventClock() override;
    X11KeyboardEventClock(const X11KeyboardEventClock&) = delete;
    X11KeyboardEventClock& operator=(const X11KeyboardEventClock&) = delete;

    // Seconds since the last event of that type, or since watching began
    // while none has come; NaN when the server cannot report that type.
    double secondsSinceLastEvent(platform::KeyboardEventType type) override;

    // The server reports key presses and releases (XInput 2.1 or later).
    bool hasKeyEvents() const;
    // The server reports modifier changes (XKB).
    bool hasModifierEvents() const;

    // A round trip to the server: every event it sent before answering is
    // then queued on the connection, for the main loop's next iteration.
    void synchronize();

    struct Impl;

private:
    explicit X11KeyboardEventClock(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> impl_;
};

} // namespace lullswitch::linux_backend
