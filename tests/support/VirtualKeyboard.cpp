// lullswitch_virtual_keyboard: one Wayland virtual keyboard for a whole test
// run (each new keyboard makes sway re-focus, which drops text being
// composed), or KWin's fake input, which has no virtual keyboard. Reads
// commands on stdin and answers "ok" once the compositor has taken each:
//   type WORD     presses and releases each letter of WORD (a-z)
//   shift         presses and releases Left Shift alone
//   return        presses and releases Return
//   down          presses and releases the down arrow
//   click X Y     clicks the left button there (KWin only)
#include "fake-input-client.h"
#include "virtual-keyboard-v1-client.h"

#include <linux/input-event-codes.h>

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>

namespace {

wl_seat* seat = nullptr;
zwp_virtual_keyboard_manager_v1* manager = nullptr;
org_kde_kwin_fake_input* fakeInput = nullptr;
zwp_virtual_keyboard_v1* keyboard = nullptr;

void announce(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    if (std::strcmp(interface, wl_seat_interface.name) == 0)
        seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    else if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0)
        fakeInput = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
}
const wl_registry_listener registryListener { announce, [](void*, wl_registry*, uint32_t) {} };

// Linux input key codes of the letters, in alphabetical order.
constexpr unsigned letterCodes[26]
    = { 30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50, 49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44 };

// Paced like a typist, and answered as soon as the last release is taken.
void stroke(wl_display* display, unsigned code, uint32_t modifiers = 0)
{
    for (const uint32_t state : { 1u, 0u }) {
        usleep(30'000);
        if (!keyboard) {
            // KWin tracks the modifiers itself.
            org_kde_kwin_fake_input_keyboard_key(fakeInput, code, state);
        } else {
            timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            zwp_virtual_keyboard_v1_key(
                keyboard, static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1'000'000), code, state);
            if (modifiers)
                zwp_virtual_keyboard_v1_modifiers(keyboard, state ? modifiers : 0, 0, 0, 0);
        }
        wl_display_roundtrip(display);
    }
}

int run(wl_display* display)
{
    for (std::string command, word; std::cin >> command;) {
        int x = 0, y = 0;
        if (command == "type" && std::cin >> word) {
            for (const char letter : word)
                if (letter >= 'a' && letter <= 'z')
                    stroke(display, letterCodes[letter - 'a']);
        } else if (command == "shift") {
            // With the modifier state a real one gives.
            stroke(display, KEY_LEFTSHIFT, 1);
        } else if (command == "return" || command == "down") {
            stroke(display, command == "return" ? KEY_ENTER : KEY_DOWN);
        } else if (command == "click" && std::cin >> x >> y && fakeInput) {
            org_kde_kwin_fake_input_pointer_motion_absolute(fakeInput, wl_fixed_from_int(x), wl_fixed_from_int(y));
            for (const uint32_t state : { 1u, 0u }) {
                wl_display_roundtrip(display);
                usleep(50'000);
                org_kde_kwin_fake_input_button(fakeInput, BTN_LEFT, state);
            }
            wl_display_roundtrip(display);
        }
        std::printf("ok\n");
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main()
{
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return 1;
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, nullptr);
    wl_display_roundtrip(display);
    if (fakeInput && !manager) {
        org_kde_kwin_fake_input_authenticate(fakeInput, "lullswitch tests", "typing in a test session");
        return run(display);
    }
    if (!seat || !manager)
        return 1;
    keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, seat);

    const xkb_rule_names names { nullptr, nullptr, "us", nullptr, nullptr };
    char* text = xkb_keymap_get_as_string(
        xkb_keymap_new_from_names(xkb_context_new(XKB_CONTEXT_NO_FLAGS), &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
        XKB_KEYMAP_FORMAT_TEXT_V1);
    const size_t size = std::strlen(text) + 1;
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (write(fd, text, size) != static_cast<ssize_t>(size))
        return 1;
    zwp_virtual_keyboard_v1_keymap(keyboard, XKB_KEYMAP_FORMAT_TEXT_V1, fd, static_cast<uint32_t>(size));
    wl_display_roundtrip(display);
    return run(display);
}
