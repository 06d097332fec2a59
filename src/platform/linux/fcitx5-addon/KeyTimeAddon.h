#pragma once

#include "KeyTimeInterface.h"

#include <fcitx-utils/event.h>
#include <fcitx/addoninstance.h>
#include <fcitx/instance.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace lullswitch::fcitx5_addon {

// Tells when keys were typed (presses and releases of any input context,
// modifiers included) no finer than an idle monitor would: any program on the
// session bus may listen or ask, so the time of each key must never leave.
// The event is never looked into, filtered, delayed or changed.
//
// Keys separated by less than `typingWindowUs` make one stretch of typing.
// Its first key is told by the end of its `edgeWindowUs` window, when that
// window ends; while it lasts, each `typingWindowUs` window that held keys is
// told by its end, when it ends; once no key has come for `typingWindowUs`,
// its last key is told by the end of its `edgeWindowUs` window. Every time
// told lies on the grid of `edgeWindowUs` on fcitx5's monotonic clock and is
// rounded up, so a reader never takes the keyboard for idle longer than it
// was; the reader learns of a first key within `edgeWindowUs`, so that a
// pause that has just ended is not taken for idle either.
//
// A change of input method, of the focused input context or of the group is
// told too, with nothing in it, at the end of the typing window it falls in:
// a hotkey that switched is placed no finer than its typing already is.
class KeyTimeAddon final : public fcitx::AddonInstance {
public:
    // A tenth of the agent's 0.25 s tick. After the delay a switch waits for
    // this rounding, the tick and the bus (about 25 ms on headless sway); that
    // must stay within 0.3 s at the 95th percentile whatever the tick's phase
    // against the grid.
    static constexpr std::uint64_t edgeWindowUs = 25'000;
    // Half the agent's smallest delay (0.5 s): while typing goes on, its idle
    // reading stays below this plus the bus, and a stretch's last key is told
    // this long after it, well before the delay has passed.
    static constexpr std::uint64_t typingWindowUs = 250'000;

    explicit KeyTimeAddon(fcitx::Instance* instance);
    ~KeyTimeAddon() override;

private:
    void onKey();
    bool onTimer();
    void onInputMethodMayChange();
    void tell(std::uint64_t lastKey, std::uint64_t at);
    static void send(const std::function<void()>& signal);
    void setTimer(std::uint64_t at);
    KeyTimeInterface::Reading read() const;

    fcitx::Instance* instance_;
    std::uint64_t lastKeyUs_ = 0; // kept here, never told
    bool isTyping_ = false;
    std::uint64_t firstKeyEnd_ = 0; // the stretch's first key, until told
    std::uint64_t untoldTypingEnd_ = 0; // the first window of keys not yet told
    KeyTimeInterface::Reading told_;
    KeyTimeInterface interface_;
    bool exported_ = false;
    bool changeUntold_ = false;
    std::unique_ptr<fcitx::EventSourceTime> timer_;
    std::unique_ptr<fcitx::EventSourceTime> changeTimer_;
    std::unique_ptr<fcitx::HandlerTableEntry<fcitx::EventHandler>> keyWatch_;
    std::vector<std::unique_ptr<fcitx::HandlerTableEntry<fcitx::EventHandler>>> changeWatches_;
};

} // namespace lullswitch::fcitx5_addon
