/* A pointer and a keyboard for a headless wlroots compositor, whose seat has no devices of its
 * own: one line on standard input per action ("move X Y", "click left|right", "key esc|enter",
 * "type letters"), answered by "ok" once the compositor has it. */
#define _GNU_SOURCE
#include "virtual-keyboard-client.h"
#include "virtual-pointer-client.h"

#include <linux/input-event-codes.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

static struct wl_display *display;
static struct wl_seat *seat;
static struct zwlr_virtual_pointer_manager_v1 *pointers;
static struct zwp_virtual_keyboard_manager_v1 *keyboards;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version)
{
    (void)data, (void)version;
    if (!strcmp(interface, wl_seat_interface.name) && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (!strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name))
        pointers = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    else if (!strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name))
        keyboards = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

static uint32_t now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

/* Until the compositor has taken what was sent, and a moment for its clients to react. */
static void settle(void)
{
    wl_display_roundtrip(display);
    nanosleep(&(struct timespec){.tv_nsec = 30000000}, NULL);
}

/* Evdev codes of a US keyboard: its letter rows, then the named keys. */
static uint32_t keycode(const char *name)
{
    static const struct
    {
        const char *letters;
        int first;
    } rows[] = {{"qwertyuiop", KEY_Q}, {"asdfghjkl", KEY_A}, {"zxcvbnm", KEY_Z}};
    for (size_t i = 0; name[0] && !name[1] && i < sizeof rows / sizeof rows[0]; ++i) {
        const char *at = strchr(rows[i].letters, name[0]);
        if (at)
            return (uint32_t)(rows[i].first + (at - rows[i].letters));
    }
    return strcmp(name, "esc") ? KEY_ENTER : KEY_ESC;
}

static const uint32_t pressedThenReleased[] = {1, 0};

static void press(struct zwp_virtual_keyboard_v1 *keyboard, const char *key)
{
    for (int i = 0; i < 2; ++i) {
        zwp_virtual_keyboard_v1_key(keyboard, now(), keycode(key), pressedThenReleased[i]);
        settle();
    }
}

int main(void)
{
    const uint32_t width = 1280, height = 800; /* the tests' output */
    display = wl_display_connect(NULL);
    if (!display)
        return 1;
    static const struct wl_registry_listener listener = {global, global_remove};
    wl_registry_add_listener(wl_display_get_registry(display), &listener, NULL);
    wl_display_roundtrip(display);
    if (!seat || !pointers || !keyboards)
        return 1;
    struct zwlr_virtual_pointer_v1 *pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, seat);
    struct zwp_virtual_keyboard_v1 *keyboard =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
    const struct xkb_rule_names names = {.layout = "us"};
    char *keymap =
        xkb_keymap_get_as_string(xkb_keymap_new_from_names(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                           &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
                                 XKB_KEYMAP_FORMAT_TEXT_V1);
    const size_t size = strlen(keymap) + 1;
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (write(fd, keymap, size) != (ssize_t)size)
        return 1;
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
    settle();
    setvbuf(stdout, NULL, _IOLBF, 0);
    puts("ready");

    char line[256], what[200];
    unsigned x, y;
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\n")] = '\0';
        if (sscanf(line, "move %u %u", &x, &y) == 2) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), x, y, width, height);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (sscanf(line, "click %199s", what) == 1) {
            for (int i = 0; i < 2; ++i) {
                zwlr_virtual_pointer_v1_button(pointer, now(),
                                               strcmp(what, "right") ? BTN_LEFT : BTN_RIGHT,
                                               pressedThenReleased[i]);
                zwlr_virtual_pointer_v1_frame(pointer);
                settle();
            }
        } else if (sscanf(line, "key %199s", what) == 1) {
            press(keyboard, what);
        } else if (sscanf(line, "type %199s", what) == 1) {
            for (const char *letter = what; *letter; ++letter)
                press(keyboard, (char[]){*letter, '\0'});
        }
        settle();
        printf("ok %s\n", line);
    }
    return 0;
}
