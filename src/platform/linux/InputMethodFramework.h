#pragma once

#include "platform/linux/CountedInputSources.h"
#include "platform/linux/Fcitx5InputSources.h"
#include "platform/linux/Fcitx5Presence.h"
#include "platform/linux/IBusInputSources.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

// The input sources of whichever input method framework runs: fcitx5 or
// IBus, chosen again whenever either comes or goes, and said on stderr.
// When both run, the session's GTK_IM_MODULE, QT_IM_MODULE or XMODIFIERS
// decides. With neither there is no source and nothing is selected.
// A source of the framework that made it, so a switch of framework leaves
// older sources unselectable rather than misread.
struct FrameworkSource {
    platform::InputSourceServices* backend;
    platform::InputSourceRef inner;
};

class InputMethodFramework final : public CountedInputSources<FrameworkSource> {
public:
    enum class Kind { none, fcitx5, ibus };

    // The framework to use; each setting may be null.
    static Kind choose(
        bool fcitx5Runs, bool ibusRuns, const char* gtkImModule, const char* qtImModule, const char* xmodifiers);

    // `fcitx5` must outlive this.
    explicit InputMethodFramework(Fcitx5Presence& fcitx5);
    InputMethodFramework(const InputMethodFramework&) = delete;
    InputMethodFramework& operator=(const InputMethodFramework&) = delete;

    platform::InputSourceRef copyCurrentKeyboardInputSource() override;
    std::optional<std::vector<platform::InputSourceRef>> createEnabledInputSourceList() override;
    std::optional<std::string> identifier(const platform::InputSourceRef& source) override;
    std::optional<bool> flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag) override;
    std::int32_t select(const platform::InputSourceRef& source) override;

    Kind current() const { return kind_; }

private:
    void update();
    platform::InputSourceServices* backend();
    platform::InputSourceRef wrap(platform::InputSourceRef inner);

    Fcitx5InputSources fcitx5_;
    IBusInputSources ibus_;
    bool fcitxRuns_ = false;
    Kind kind_ = Kind::none;
    bool announced_ = false;
    Fcitx5Presence::Listener fcitxPresence_;
};

} // namespace lullswitch::linux_backend
