// A pointer and a keyboard for a headless wlroots compositor, whose seat has no devices of its
// own: one line on standard input per action ("move X Y", "click left|right", "key esc|enter",
// "type letters"), answered by "ok" once the compositor has it.
#include "virtual-keyboard-client.h"
#include "virtual-pointer-client.h"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

wl_seat *seat = nullptr;
zwlr_virtual_pointer_manager_v1 *pointers = nullptr;
zwp_virtual_keyboard_manager_v1 *keyboards = nullptr;

template <typename T>
void bind(wl_registry *registry, uint32_t name, const wl_interface &type, T *&to)
{
    to = static_cast<T *>(wl_registry_bind(registry, name, &type, 1));
}

void global(void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t)
{
    if (!std::strcmp(interface, wl_seat_interface.name) && !seat)
        bind(registry, name, wl_seat_interface, seat);
    else if (!std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name))
        bind(registry, name, zwlr_virtual_pointer_manager_v1_interface, pointers);
    else if (!std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name))
        bind(registry, name, zwp_virtual_keyboard_manager_v1_interface, keyboards);
}

uint32_t now()
{
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Evdev codes of a US keyboard: its letter rows, then the named keys.
uint32_t keycode(const std::string &name)
{
    const std::pair<const char *, int> rows[] = {
        {"qwertyuiop", KEY_Q}, {"asdfghjkl", KEY_A}, {"zxcvbnm", KEY_Z}};
    for (const auto &[letters, first] : rows) {
        if (const char *at = name.size() == 1 ? std::strchr(letters, name[0]) : nullptr)
            return uint32_t(first + (at - letters));
    }
    return name == "esc" ? KEY_ESC : KEY_ENTER;
}

} // namespace

int main()
{
    const uint32_t width = 1280, height = 800; // the tests' output
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return 1;
    const wl_registry_listener listener{global, [](void *, wl_registry *, uint32_t) {}};
    wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
    wl_display_roundtrip(display);
    if (!seat || !pointers || !keyboards)
        return 1;
    auto *pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, seat);
    auto *keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
    xkb_rule_names names{};
    names.layout = "us";
    const std::string keymap =
        xkb_keymap_get_as_string(xkb_keymap_new_from_names(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                           &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
                                 XKB_KEYMAP_FORMAT_TEXT_V1);
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (write(fd, keymap.c_str(), keymap.size() + 1) != ssize_t(keymap.size() + 1))
        return 1;
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   uint32_t(keymap.size() + 1));

    const auto settle = [display] {
        wl_display_roundtrip(display);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    };
    settle();
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string action, what;
        uint32_t x = 0, y = 0;
        words >> action;
        if (action == "move" && words >> x >> y) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), x, y, width, height);
            zwlr_virtual_pointer_v1_frame(pointer);
        }
        std::vector<std::string> keys;
        if (action == "click" && words >> what) {
            for (const uint32_t state : {1u, 0u}) { // pressed, then released
                zwlr_virtual_pointer_v1_button(pointer, now(),
                                               what == "right" ? BTN_RIGHT : BTN_LEFT, state);
                zwlr_virtual_pointer_v1_frame(pointer);
                settle();
            }
        } else if (action == "key" && words >> what) {
            keys.push_back(what);
        } else if (action == "type" && words >> what) {
            for (const char letter : what)
                keys.emplace_back(1, letter);
        }
        for (const std::string &key : keys) {
            for (const uint32_t state : {1u, 0u}) {
                zwp_virtual_keyboard_v1_key(keyboard, now(), keycode(key), state);
                settle();
            }
        }
        settle();
        std::cout << "ok " << line << std::endl;
    }
    return 0;
}
