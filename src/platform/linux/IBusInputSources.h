#pragma once

#include "platform/linux/CountedInputSources.h"
#include "platform/linux/IBusConnection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

// IBus engines and their input modes as input sources. The current source is
// the global engine, "<engine>:<mode>" while the engine has announced a known
// InputMode ("anthy:InputMode.Hiragana"), whichever way the news went: to an
// application's input context that shows properties itself, or to the panel
// (GNOME's, whose context does not). The enabled sources are the current
// engine's alphanumeric mode (its first among the preferred sources), then the
// current source. Selecting a mode activates it from a focused input context
// of the agent's own that leaves the properties to the panel, so that the
// engine keeps one mode for every application and the desktop's indicator
// follows; selecting an engine sets the global engine. Both are sent without
// waiting: the new mode is known when the daemon announces it.
// While any application has kana being composed nothing is selected: every
// way to switch from outside throws them away, so the switch waits for the
// next idle period.
class IBusInputSources final : public CountedInputSources<std::string> {
public:
    // `onChange` runs whenever the daemon comes or goes.
    explicit IBusInputSources(std::function<void()> onChange = {});
    IBusInputSources(const IBusInputSources&) = delete;
    IBusInputSources& operator=(const IBusInputSources&) = delete;

    platform::InputSourceRef copyCurrentKeyboardInputSource() override;
    std::optional<std::vector<platform::InputSourceRef>> createEnabledInputSourceList() override;
    // Every source is select-capable; ASCII-capable are the Latin and Direct
    // modes and the xkb engines of layouts that type Latin letters.
    std::optional<bool> flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag) override;
    std::int32_t select(const platform::InputSourceRef& source) override;

    bool isIBusRunning() const { return connection_.isConnected(); }

private:
    void onNews(const IBusNews& news);
    void onConnectionChange();
    std::optional<std::string> currentIdentifier() const;

    std::function<void()> onChange_;
    std::optional<std::string> engine_;
    std::optional<std::string> mode_;
    // The latest composition news of any context decides: a context whose
    // application has left the focus (or died) settles its kana, or loses
    // them, whatever the agent does.
    bool composing_ = false;
    // The agent's own input context on the current connection.
    std::string contextPath_;
    IBusConnection connection_;
};

} // namespace lullswitch::linux_backend
