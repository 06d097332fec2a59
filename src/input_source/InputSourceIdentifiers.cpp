#include "input_source/InputSourceIdentifiers.h"

namespace lullswitch {

const InputSourceIdentifiers& macOSInputSourceIdentifiers()
{
    static const InputSourceIdentifiers identifiers{
        .preferredEisuInputSourceIDs =
            {
                "com.apple.inputmethod.Kotoeri.RomajiTyping.Roman",
                "com.apple.inputmethod.Kotoeri.KanaTyping.Roman",
                "com.apple.keylayout.ABC",
                "com.apple.keylayout.US",
            },
        .japaneseMarkers = {"kotoeri", "japanese", "atok", "egbridge"},
        .alphanumericMarkers = {"roman", "keylayout.abc", "keylayout.us"},
    };
    return identifiers;
}

// fcitx5 names keyboard layouts "keyboard-<layout>[-<variant>]" and IBus
// "xkb:<layout>:<variant>:<lang>"; both type Latin letters, the Japanese
// layout included, so every layout counts as alphanumeric. The Japanese IMEs
// are named after their engine ("mozc", "anthy", "skk", "kkc"; IBus adds
// "mozc-jp"); "mozc-off" is ibus-mozc's direct-input engine.
const InputSourceIdentifiers& linuxInputSourceIdentifiers()
{
    static const InputSourceIdentifiers identifiers{
        .preferredEisuInputSourceIDs =
            {
                "keyboard-us",
                "keyboard-jp",
                "xkb:us::eng",
                "xkb:jp::jpn",
            },
        .japaneseMarkers = {"mozc", "anthy", "skk", "kkc"},
        .alphanumericMarkers = {"keyboard-", "xkb:", "mozc-off"},
    };
    return identifiers;
}

} // namespace lullswitch
