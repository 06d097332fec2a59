#pragma once

#include "platform/linux/CountedInputSources.h"
#include "platform/linux/GLibHandles.h"
#include "platform/linux/GLibRegistrations.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lullswitch::linux_backend {

// fcitx5's input methods as input sources, over its D-Bus controller. The
// current source is the input method of the input context fcitx5 acts on (the
// focused one); the enabled sources are the current group's input methods in
// group order; a source's identifier is its input method's unique name.
// Calls never start fcitx5 and give up after callTimeoutMs. While fcitx5 is
// off the bus there is no current source and no list; it is asked again as
// soon as it is back.
class Fcitx5InputSources final : public CountedInputSources<std::string> {
public:
    // fcitx5's name on the session bus.
    static constexpr const char* busName = "org.fcitx.Fcitx5";
    static constexpr int callTimeoutMs = 500;
    // After a call has timed out (fcitx5 hangs), calls fail at once for this
    // long, so that one operation costs the main loop one timeout at most.
    static constexpr gint64 hungBackoffUs = G_USEC_PER_SEC;

    // `sessionBus` may be null: then there is never a source.
    explicit Fcitx5InputSources(GDBusConnection* sessionBus);
    Fcitx5InputSources(const Fcitx5InputSources&) = delete;
    Fcitx5InputSources& operator=(const Fcitx5InputSources&) = delete;

    platform::InputSourceRef copyCurrentKeyboardInputSource() override;
    std::optional<std::vector<platform::InputSourceRef>> createEnabledInputSourceList() override;
    // Every source is select-capable; a source is ASCII-capable when it is a
    // keyboard layout that types Latin letters.
    std::optional<bool> flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag) override;
    // SetCurrentIM, then 0 only when fcitx5 reads back that input method.
    std::int32_t select(const platform::InputSourceRef& source) override;

    // False once the name watch has seen fcitx5 leave the bus, until it is
    // back.
    bool isFcitxOnBus() const { return owner_ != Owner::absent; }

private:
    enum class Owner { unknown, present, absent };

    GVariantPtr call(const char* method, GVariant* parameters, const char* replyType);
    std::optional<std::string> currentInputMethod();

    GObjectPtr<GDBusConnection> bus_;
    Owner owner_ = Owner::unknown;
    gint64 hungUntil_ = 0;
    BusNameHandle fcitxWatch_;
};

} // namespace lullswitch::linux_backend
