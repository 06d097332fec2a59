#pragma once

#include "KeyTimeInterface.h"

#include <fcitx-utils/event.h>
#include <fcitx/addoninstance.h>
#include <fcitx/instance.h>

#include <cstdint>
#include <memory>

namespace lullswitch::fcitx5_addon {

// Records when the last key event of any input context came (press or
// release, modifiers included) and tells it on fcitx5's own bus connection.
// Only the time is kept: the event is never looked into, filtered, delayed or
// changed. While keys keep coming the signal is sent at the first key, at most
// once a second during the burst, and once more within `quietUs` of the last
// key, so a listener is woken rarely yet never late by more than that.
class KeyTimeAddon final : public fcitx::AddonInstance {
public:
    static constexpr std::uint64_t quietUs = 40'000;
    static constexpr std::uint64_t burstIntervalUs = 1'000'000;

    explicit KeyTimeAddon(fcitx::Instance* instance);
    ~KeyTimeAddon() override;

private:
    void onKey();
    bool onQuietCheck(fcitx::EventSourceTime* timer);
    void announce(std::uint64_t now);
    KeyTimeInterface::Reading read() const;

    fcitx::Instance* instance_;
    std::uint64_t lastKeyUs_;
    std::uint64_t announcedAtUs_ = 0;
    bool inBurst_ = false;
    bool unannounced_ = false;
    KeyTimeInterface interface_;
    bool exported_ = false;
    std::unique_ptr<fcitx::EventSourceTime> quietTimer_;
    std::unique_ptr<fcitx::HandlerTableEntry<fcitx::EventHandler>> keyWatch_;
};

} // namespace lullswitch::fcitx5_addon
