#include "KeyTimeAddon.h"

#include <dbus_public.h>
#include <fcitx/addonfactory.h>
#include <fcitx/addonmanager.h>

#include <algorithm>
#include <ctime>
#include <exception>
#include <utility>

namespace lullswitch::fcitx5_addon {

namespace {

// How late a timer may fire, so that fcitx5 can group its wake-ups.
constexpr std::uint64_t timerAccuracyUs = 1'000;

std::uint64_t monotonicNow()
{
    return fcitx::now(CLOCK_MONOTONIC);
}

// The end of the window of `size` that holds `time`.
std::uint64_t windowEnd(std::uint64_t time, std::uint64_t size)
{
    return (time / size + 1) * size;
}

// Its start: the last grid point at or before `time`.
std::uint64_t windowStart(std::uint64_t time, std::uint64_t size)
{
    return time / size * size;
}

} // namespace

KeyTimeAddon::KeyTimeAddon(fcitx::Instance* instance) : instance_(instance), interface_([this] { return read(); })
{
    if (auto* dbusAddon = instance->addonManager().addon("dbus", true)) {
        if (auto* bus = dbusAddon->call<fcitx::IDBusModule::bus>())
            exported_ = bus->addObjectVTable(KeyTimeInterface::path, KeyTimeInterface::interface, interface_);
    }
    timer_ = instance->eventLoop().addTimeEvent(CLOCK_MONOTONIC, monotonicNow(), timerAccuracyUs,
        [this](fcitx::EventSourceTime*, std::uint64_t) { return onTimer(); });
    // Loading counts as a key, so that a reader never takes the time before
    // fcitx5 started for idle.
    const std::uint64_t now = windowStart(monotonicNow(), edgeWindowUs);
    told_ = { now, now };
    onKey();
    // Before the input method and fcitx5's own hotkeys, so that every key is
    // seen, even one that a later handler takes.
    keyWatch_ = instance->watchEvent(fcitx::EventType::InputContextKeyEvent, fcitx::EventWatcherPhase::PreInputMethod,
        [this](fcitx::Event&) { onKey(); });
    // What may change fcitx5's current input method (its focused input
    // context's) or the group, told once per typing window.
    changeTimer_ = instance->eventLoop().addTimeEvent(
        CLOCK_MONOTONIC, monotonicNow(), timerAccuracyUs, [this](fcitx::EventSourceTime*, std::uint64_t) {
            changeUntold_ = false;
            if (exported_)
                send([this] { interface_.inputMethodChanged(); });
            return true;
        });
    changeTimer_->setEnabled(false);
    for (const auto type : { fcitx::EventType::InputContextSwitchInputMethod, fcitx::EventType::InputContextFocusIn,
             fcitx::EventType::InputContextDestroyed, fcitx::EventType::InputMethodGroupChanged })
        changeWatches_.push_back(instance->watchEvent(
            type, fcitx::EventWatcherPhase::Default, [this](fcitx::Event&) { onInputMethodMayChange(); }));
}

KeyTimeAddon::~KeyTimeAddon() = default;

// A key costs a clock read and a comparison; only the first of a stretch, or
// of a window, sets anything more.
void KeyTimeAddon::onKey()
{
    lastKeyUs_ = monotonicNow();
    if (!isTyping_) {
        isTyping_ = true;
        firstKeyEnd_ = windowEnd(lastKeyUs_, edgeWindowUs);
        setTimer(firstKeyEnd_);
    } else if (untoldTypingEnd_ == 0 && lastKeyUs_ >= firstKeyEnd_) {
        untoldTypingEnd_ = windowEnd(lastKeyUs_, typingWindowUs);
    }
}

// Runs at the end of the first key's window, then at every end of a typing
// window and when the stretch may be over, whichever comes first.
bool KeyTimeAddon::onTimer()
{
    const std::uint64_t now = monotonicNow();
    if (firstKeyEnd_ != 0) {
        tell(firstKeyEnd_, firstKeyEnd_);
        firstKeyEnd_ = 0;
    }
    const std::uint64_t lastKeyEnd = windowEnd(lastKeyUs_, edgeWindowUs);
    if (now >= lastKeyEnd + typingWindowUs) {
        tell(lastKeyEnd, lastKeyEnd + typingWindowUs);
        isTyping_ = false;
        untoldTypingEnd_ = 0;
        return true;
    }
    if (untoldTypingEnd_ != 0 && untoldTypingEnd_ <= now) {
        // Also when this runs late and later windows have ended: their end
        // is still on the grid and no earlier than any key it covers.
        const std::uint64_t end = std::min(windowStart(now, typingWindowUs), windowEnd(lastKeyUs_, typingWindowUs));
        tell(end, end);
        untoldTypingEnd_ = lastKeyUs_ >= end ? windowEnd(lastKeyUs_, typingWindowUs) : 0;
    }
    setTimer(std::min(lastKeyEnd + typingWindowUs, windowEnd(now, typingWindowUs)));
    return true;
}

void KeyTimeAddon::onInputMethodMayChange()
{
    if (std::exchange(changeUntold_, true))
        return;
    changeTimer_->setTime(windowEnd(monotonicNow(), typingWindowUs));
    changeTimer_->setOneShot();
}

void KeyTimeAddon::setTimer(std::uint64_t at)
{
    timer_->setTime(at);
    timer_->setOneShot();
}

void KeyTimeAddon::tell(std::uint64_t lastKey, std::uint64_t at)
{
    told_ = { lastKey, at };
    if (exported_)
        send([this, lastKey, at] { interface_.keyActivity(lastKey, at); });
}

// Nobody listening, or a bus in trouble, must never reach typing.
void KeyTimeAddon::send(const std::function<void()>& signal)
{
    try {
        signal();
    } catch (const std::exception&) {
    }
}

// The last time told, as of the last end of a window: what a listener has
// heard, and the present no finer than the grid.
KeyTimeInterface::Reading KeyTimeAddon::read() const
{
    const auto [lastKey, at] = told_;
    return { lastKey, std::max(at, windowStart(monotonicNow(), edgeWindowUs)) };
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
