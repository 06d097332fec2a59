#pragma once

#include "platform/InputSourceServices.h"

#include <string>
#include <vector>

namespace lullswitch {

// The only part of the system that touches the platform's input sources.
// Caches nothing: every call asks the platform afresh.
class InputSourceSwitcher {
public:
    InputSourceSwitcher();

    // The active source is a Japanese input method in a Japanese mode.
    bool isJapaneseInputActive() const;
    // Selects an alphanumeric source: a preferred one, else the first enabled
    // source that is select-capable and ASCII-capable.
    void switchToEisu() const;

private:
    std::vector<platform::InputSourceRef> enabledInputSources() const;
    platform::InputSourceRef findInputSource(const std::string& identifier) const;
    bool selectFirstASCIICapableSource() const;

    std::vector<std::string> preferredEisuInputSourceIDs_;
};

} // namespace lullswitch
