#pragma once

#include "platform/InputSourceServices.h"

namespace lullswitch::platform::macos {

// Text Input Sources of the Carbon framework. A handle is a TISInputSourceRef
// that this object retains and releases.
class MacInputSources final : public InputSourceServices {
public:
    InputSourceRef copyCurrentKeyboardInputSource() override;
    std::optional<std::vector<InputSourceRef>> createEnabledInputSourceList() override;
    std::optional<std::string> identifier(const InputSourceRef& source) override;
    std::optional<bool> flag(const InputSourceRef& source, InputSourceFlag flag) override;
    std::int32_t select(const InputSourceRef& source) override;
    const InputSourceIdentifiers& identifiers() const override;

protected:
    void retain(void* handle) override;
    void release(void* handle) override;
};

} // namespace lullswitch::platform::macos
