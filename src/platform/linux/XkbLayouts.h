#pragma once

#include <string_view>

namespace lullswitch::linux_backend {

// Whether the XKB layout (with its variant, "" for none) types Latin letters:
// its first shift level puts every letter a to z on some key, as US, German,
// French, Japanese, Turkish and Dvorak layouts do, and Russian, Greek, Thai or
// Arabic ones do not. False when the layout cannot be compiled. Results are
// kept per name for the life of the process.
bool keyboardLayoutTypesLatin(std::string_view layout, std::string_view variant);

} // namespace lullswitch::linux_backend
