// A pointer and a keyboard for a headless wlroots compositor, whose seat has no devices of its
// own: one line on standard input per action ("move X Y", "press|release|click left|right",
// "key esc|enter|down", "type letters"), answered by "ok" once the compositor has it.
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
#include <string>
#include <thread>

namespace {

wl_seat *seat = nullptr;
zwlr_virtual_pointer_manager_v1 *pointers = nullptr;
zwp_virtual_keyboard_manager_v1 *keyboards = nullptr;

void global(void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t)
{
    if (!std::strcmp(interface, wl_seat_interface.name) && !seat)
        seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name))
        pointers = static_cast<zwlr_virtual_pointer_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    else if (!std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name))
        keyboards = static_cast<zwp_virtual_keyboard_manager_v1 *>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
}

uint32_t now()
{
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

int keycode(const std::string &name)
{
    if (name == "esc")
        return KEY_ESC;
    if (name == "enter")
        return KEY_ENTER;
    if (name == "down")
        return KEY_DOWN;
    // The letters of a US keyboard, row by row.
    const std::pair<const char *, int> rows[] = {
        {"qwertyuiop", KEY_Q}, {"asdfghjkl", KEY_A}, {"zxcvbnm", KEY_Z}};
    for (const auto &[letters, first] : rows) {
        if (const char *at = name.size() == 1 ? std::strchr(letters, name[0]) : nullptr)
            return first + int(at - letters);
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    const uint32_t width = argc > 2 ? uint32_t(std::stoul(argv[1])) : 1280;
    const uint32_t height = argc > 2 ? uint32_t(std::stoul(argv[2])) : 800;
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
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_rule_names names{};
    names.layout = "us";
    xkb_keymap *keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    const std::string text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (write(fd, text.c_str(), text.size() + 1) != ssize_t(text.size() + 1))
        return 1;
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   uint32_t(text.size() + 1));
    wl_display_roundtrip(display);

    const auto settle = [display] {
        wl_display_roundtrip(display);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    };
    const auto button = [&](uint32_t code, uint32_t state) {
        zwlr_virtual_pointer_v1_button(pointer, now(), code, state);
        zwlr_virtual_pointer_v1_frame(pointer);
        settle();
    };
    const auto key = [&](int code) {
        zwp_virtual_keyboard_v1_key(keyboard, now(), uint32_t(code), 1);
        settle();
        zwp_virtual_keyboard_v1_key(keyboard, now(), uint32_t(code), 0);
        settle();
    };
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string action, what;
        words >> action;
        if (action == "move") {
            uint32_t x = 0, y = 0;
            words >> x >> y;
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), x, y, width, height);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (action == "press" || action == "release" || action == "click") {
            words >> what;
            const uint32_t code = what == "right" ? BTN_RIGHT : BTN_LEFT;
            if (action != "release")
                button(code, 1);
            if (action != "press")
                button(code, 0);
        } else if (action == "key" && words >> what) {
            key(keycode(what));
        } else if (action == "type" && words >> what) {
            for (const char letter : what)
                key(keycode(std::string(1, letter)));
        }
        settle();
        std::cout << "ok " << line << std::endl;
    }
    return 0;
}
