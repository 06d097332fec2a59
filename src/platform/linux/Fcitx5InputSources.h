#pragma once

#include "platform/linux/CountedInputSources.h"
#include "platform/linux/Fcitx5Presence.h"
#include "platform/linux/GLibRegistrations.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

// fcitx5's input methods as input sources, over its D-Bus controller. The
// current source is the input method of the input context fcitx5 acts on (the
// focused one); the enabled sources are the current group's input methods in
// group order; a source's identifier is its input method's unique name.
//
// Nothing here waits for fcitx5: the answers come from a view of it that is
// read without waiting when fcitx5 appears, after every select, and whenever
// the agent's addon inside fcitx5 tells that the input method, the focus or
// the group may have changed. Without the addon nothing tells, so the input
// method alone is read every pollMs, and the whole view again when it has
// changed: as often as the idle watcher looks, so that a switch by hotkey is
// seen long before the shortest idle delay (0.5 s) has passed. While fcitx5 is
// off the bus, or a read has failed (a hung fcitx5 after callTimeoutMs), there
// is no current source and no list, and fcitx5 is read again every retryMs
// until it answers. No call starts fcitx5.
class Fcitx5InputSources final : public CountedInputSources<std::string> {
public:
    static constexpr int callTimeoutMs = 500;
    static constexpr unsigned retryMs = 1000;
    static constexpr unsigned pollMs = 250;

    // `presence` must outlive this.
    explicit Fcitx5InputSources(Fcitx5Presence& presence);
    Fcitx5InputSources(const Fcitx5InputSources&) = delete;
    Fcitx5InputSources& operator=(const Fcitx5InputSources&) = delete;

    platform::InputSourceRef copyCurrentKeyboardInputSource() override;
    std::optional<std::vector<platform::InputSourceRef>> createEnabledInputSourceList() override;
    // Every source is select-capable; a source is ASCII-capable when it is a
    // keyboard layout that types Latin letters.
    std::optional<bool> flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag) override;
    // Sends SetCurrentIM and answers 0 when fcitx5 is on the bus, its last
    // read succeeded and its group holds the source; the view takes the new
    // input method at once, and the read that follows corrects it if the
    // switch did not take.
    std::int32_t select(const platform::InputSourceRef& source) override;

    bool isFcitxOnBus() const { return present_; }

private:
    // Reads fcitx5 again: at once, or after the read in flight.
    void refresh();
    void onPresence(bool present);
    void readCurrent(std::optional<std::vector<std::string>> group);
    void poll();
    void forget();
    void failed();
    void call(const char* method, GVariant* parameters, const char* replyType, std::function<void(GVariant*)> onReply);

    GDBusConnection* bus_;
    bool present_ = false;
    // Unknown until asked, on each read after fcitx5 appeared or failed.
    std::optional<bool> hasAddon_;
    bool reading_ = false;
    bool readAgain_ = false;
    // The view: "" without a focused input context; no group while unknown.
    std::string current_;
    std::optional<std::vector<std::string>> group_;
    PendingCalls calls_;
    ScheduledCall next_;
    SignalSubscription changes_;
    Fcitx5Presence::Listener presence_;
};

} // namespace lullswitch::linux_backend
