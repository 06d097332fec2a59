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
// "mozc-jp"); "mozc-off" is ibus-mozc's direct-input engine. An IBus engine
// in a known input mode is "<engine>:<mode property>": its Latin and Direct
// modes type ASCII, and Wide Latin is neither Japanese nor a switch target.
// The engine's modes come first, so that switching keeps the engine (and
// GNOME's indicator in step) and changes only its mode.
const InputSourceIdentifiers& linuxInputSourceIdentifiers()
{
    static const InputSourceIdentifiers identifiers{
        .preferredEisuInputSourceIDs =
            {
                "keyboard-us",
                "keyboard-jp",
                "anthy:InputMode.Latin",
                "mozc-jp:InputMode.Direct",
                "xkb:us::eng",
                "xkb:jp::jpn",
            },
        .japaneseMarkers = {"mozc", "anthy", "skk", "kkc"},
        .alphanumericMarkers = {"keyboard-", "xkb:", "mozc-off", ":inputmode.latin", ":inputmode.widelatin",
            ":inputmode.direct"},
    };
    return identifiers;
}

// What the InputMode property of the IBus Japanese engines shows; its
// sub-properties, re-announced, may be stale, so the mode is read from this.
const std::vector<std::pair<std::string, std::string>>& ibusInputModeSymbols()
{
    static const std::vector<std::pair<std::string, std::string>> symbols {
        { "あ", "InputMode.Hiragana" },
        { "ア", "InputMode.Katakana" },
        { "_ｱ", "InputMode.HalfWidthKatakana" },
        { "_A", "InputMode.Latin" },
        { "Ａ", "InputMode.WideLatin" },
        { "A", "InputMode.Direct" },
    };
    return symbols;
}

} // namespace lullswitch
