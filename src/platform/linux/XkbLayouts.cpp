#include "platform/linux/XkbLayouts.h"

#include "platform/common/UniqueCPtr.h"

#include <xkbcommon/xkbcommon.h>

#include <bitset>
#include <map>
#include <string>
#include <utility>

namespace lullswitch::linux_backend {

namespace {

void discardXkbLog(xkb_context*, xkb_log_level, const char*, va_list) { }

bool compileAndCheck(const std::string& layout, const std::string& variant)
{
    platform::UniqueCPtr<xkb_context, xkb_context_unref> context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!context)
        return false;
    xkb_context_set_log_fn(context.get(), discardXkbLog);
    const xkb_rule_names names { nullptr, "pc105", layout.c_str(), variant.c_str(), "" };
    platform::UniqueCPtr<xkb_keymap, xkb_keymap_unref> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap)
        return false;
    std::bitset<26> letters;
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap.get());
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap.get()); key <= last; ++key) {
        const xkb_keysym_t* symbols = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), key, 0, 0, &symbols);
        for (int i = 0; i < count; ++i) {
            if (symbols[i] >= XKB_KEY_a && symbols[i] <= XKB_KEY_z)
                letters.set(symbols[i] - XKB_KEY_a);
        }
    }
    return letters.all();
}

} // namespace

bool keyboardLayoutTypesLatin(std::string_view layout, std::string_view variant)
{
    static std::map<std::pair<std::string, std::string>, bool> known;
    auto key = std::make_pair(std::string(layout), std::string(variant));
    if (const auto found = known.find(key); found != known.end())
        return found->second;
    const bool latin = compileAndCheck(key.first, key.second);
    known.emplace(std::move(key), latin);
    return latin;
}

} // namespace lullswitch::linux_backend
