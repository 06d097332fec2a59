#pragma once

#include "platform/InputSourceServices.h"

namespace lullswitch::macos_backend {

// Text Input Sources of the Carbon framework. A handle is a TISInputSourceRef
// that this object retains and releases.
class MacInputSources final : public platform::InputSourceServices {
public:
    platform::InputSourceRef copyCurrentKeyboardInputSource() override;
    std::optional<std::vector<platform::InputSourceRef>> createEnabledInputSourceList() override;
    std::optional<std::string> identifier(const platform::InputSourceRef& source) override;
    std::optional<bool> flag(const platform::InputSourceRef& source, platform::InputSourceFlag flag) override;
    std::int32_t select(const platform::InputSourceRef& source) override;
    const InputSourceIdentifiers& identifiers() const override;

protected:
    void retain(void* handle) override;
    void release(void* handle) override;
};

} // namespace lullswitch::macos_backend
