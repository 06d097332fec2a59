#include "KeyTimeAddon.h"

#include <dbus_public.h>
#include <fcitx/addonfactory.h>
#include <fcitx/addonmanager.h>

#include <ctime>
#include <exception>

namespace lullswitch::fcitx5_addon {

namespace {

std::uint64_t monotonicNow()
{
    return fcitx::now(CLOCK_MONOTONIC);
}

} // namespace

KeyTimeAddon::KeyTimeAddon(fcitx::Instance* instance)
    : instance_(instance), lastKeyUs_(monotonicNow()), interface_([this] { return read(); })
{
    if (auto* dbusAddon = instance->addonManager().addon("dbus", true)) {
        if (auto* bus = dbusAddon->call<fcitx::IDBusModule::bus>())
            exported_ = bus->addObjectVTable(KeyTimeInterface::path, KeyTimeInterface::interface, interface_);
    }
    quietTimer_ = instance->eventLoop().addTimeEvent(CLOCK_MONOTONIC, monotonicNow(), 5'000,
        [this](fcitx::EventSourceTime* timer, std::uint64_t) { return onQuietCheck(timer); });
    quietTimer_->setEnabled(false);
    // Before the input method and fcitx5's own hotkeys, so that every key is
    // seen, even one that a later handler takes.
    keyWatch_ = instance->watchEvent(fcitx::EventType::InputContextKeyEvent, fcitx::EventWatcherPhase::PreInputMethod,
        [this](fcitx::Event&) { onKey(); });
}

KeyTimeAddon::~KeyTimeAddon() = default;

void KeyTimeAddon::onKey()
{
    const std::uint64_t now = monotonicNow();
    lastKeyUs_ = now;
    if (!inBurst_) {
        inBurst_ = true;
        announce(now);
        quietTimer_->setTime(now + quietUs);
        quietTimer_->setOneShot();
    } else if (now - announcedAtUs_ >= burstIntervalUs) {
        announce(now);
    } else {
        unannounced_ = true;
    }
}

bool KeyTimeAddon::onQuietCheck(fcitx::EventSourceTime* timer)
{
    const std::uint64_t now = monotonicNow();
    if (now - lastKeyUs_ < quietUs) {
        timer->setTime(lastKeyUs_ + quietUs);
        timer->setOneShot();
        return true;
    }
    if (unannounced_)
        announce(now);
    inBurst_ = false;
    return true;
}

void KeyTimeAddon::announce(std::uint64_t now)
{
    announcedAtUs_ = now;
    unannounced_ = false;
    if (!exported_)
        return;
    // Nobody listening, or a bus in trouble, must never reach typing.
    try {
        interface_.keyActivity(lastKeyUs_, now);
    } catch (const std::exception&) {
    }
}

KeyTimeInterface::Reading KeyTimeAddon::read() const
{
    return { lastKeyUs_, monotonicNow() };
}

class KeyTimeAddonFactory final : public fcitx::AddonFactory {
public:
    fcitx::AddonInstance* create(fcitx::AddonManager* manager) override
    {
        return new KeyTimeAddon(manager->instance());
    }
};

} // namespace lullswitch::fcitx5_addon

FCITX_ADDON_FACTORY(lullswitch::fcitx5_addon::KeyTimeAddonFactory)
