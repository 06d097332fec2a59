#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lullswitch {

// The identifiers a platform gives its input sources, and what the switcher
// needs to know about them. One switcher logic runs on every platform; only
// this data differs.
struct InputSourceIdentifiers {
    // Alphanumeric sources tried first, in order.
    std::vector<std::string> preferredEisuInputSourceIDs;
    // Lower-case substrings naming a Japanese input method...
    std::vector<std::string> japaneseMarkers;
    // ...and those naming an alphanumeric mode or a keyboard layout.
    std::vector<std::string> alphanumericMarkers;
};

// Text Input Sources on macOS.
const InputSourceIdentifiers& macOSInputSourceIdentifiers();
// fcitx5 input method names and IBus engine names.
const InputSourceIdentifiers& linuxInputSourceIdentifiers();
// (symbol, mode property key) of the IBus Japanese engines' input modes.
const std::vector<std::pair<std::string, std::string>>& ibusInputModeSymbols();

} // namespace lullswitch
