#pragma once

#include <fcitx-utils/dbus/objectvtable.h>

#include <cstdint>
#include <functional>
#include <tuple>
#include <utility>

namespace lullswitch::fcitx5_addon {

// The read-only D-Bus face of the addon. Both members carry the same pair of
// CLOCK_MONOTONIC microseconds, both on the addon's grid: the last key, rounded
// up to the end of its window, and the moment as of which that is said, so
// that a reader can tell the age of the reading. No member carries anything
// finer, nor anything about the key itself. InputMethodChanged carries
// nothing: the input method, the focused input context or the group may have
// changed, told on the grid of a typing window.
class KeyTimeInterface : public fcitx::dbus::ObjectVTable<KeyTimeInterface> {
public:
    static constexpr const char* path = "/app/lullswitch/KeyTime";
    static constexpr const char* interface = "app.lullswitch.KeyTime1";

    using Reading = std::tuple<std::uint64_t, std::uint64_t>;
    explicit KeyTimeInterface(std::function<Reading()> read) : read_(std::move(read)) { }

    Reading lastKeyTime() { return read_(); }

private:
    std::function<Reading()> read_;

public:
    FCITX_OBJECT_VTABLE_METHOD(lastKeyTime, "LastKeyTime", "", "tt");
    FCITX_OBJECT_VTABLE_SIGNAL(keyActivity, "KeyActivity", "tt")
    FCITX_OBJECT_VTABLE_SIGNAL(inputMethodChanged, "InputMethodChanged", "")
};

} // namespace lullswitch::fcitx5_addon
