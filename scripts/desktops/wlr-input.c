/* A virtual pointer and keyboard for a wlroots compositor (zwlr_virtual_pointer_v1,
 * zwp_virtual_keyboard_v1), kept for the whole run: keyboards that come and go lose keys.
 * Reads commands from standard input, one per line, and answers "ok" to each:
 *   move X Y      pointer to X,Y of the layout (WIDTH x HEIGHT given on the command line)
 *   click         left button down and up
 *   key CODE      an evdev key code down and up (1 Escape, 16 q)
 * Usage: wlr-input WIDTH HEIGHT */
#define _GNU_SOURCE
#include <linux/input-event-codes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

/* The two protocols' interfaces, as wayland-scanner would write them (requests only). */
extern const struct wl_interface zwlr_virtual_pointer_v1_interface;
extern const struct wl_interface zwp_virtual_keyboard_v1_interface;
static const struct wl_interface *pointer_manager_types[] = {&wl_seat_interface,
                                                             &zwlr_virtual_pointer_v1_interface};
static const struct wl_message pointer_manager_requests[] = {
    {"create_virtual_pointer", "?on", pointer_manager_types},
    {"destroy", "", NULL},
};
static const struct wl_interface zwlr_virtual_pointer_manager_v1_interface = {
    "zwlr_virtual_pointer_manager_v1", 1, 2, pointer_manager_requests, 0, NULL};
static const struct wl_interface *none[] = {NULL, NULL, NULL, NULL, NULL};
static const struct wl_message pointer_requests[] = {
    {"motion", "uff", none},         {"motion_absolute", "uuuuu", none},
    {"button", "uuu", none},         {"axis", "uuf", none},
    {"frame", "", none},             {"axis_source", "u", none},
    {"axis_stop", "uu", none},       {"axis_discrete", "uufi", none},
    {"destroy", "", none},
};
const struct wl_interface zwlr_virtual_pointer_v1_interface = {
    "zwlr_virtual_pointer_v1", 1, 9, pointer_requests, 0, NULL};
static const struct wl_interface *keyboard_manager_types[] = {&wl_seat_interface,
                                                              &zwp_virtual_keyboard_v1_interface};
static const struct wl_message keyboard_manager_requests[] = {
    {"create_virtual_keyboard", "on", keyboard_manager_types},
};
static const struct wl_interface zwp_virtual_keyboard_manager_v1_interface = {
    "zwp_virtual_keyboard_manager_v1", 1, 1, keyboard_manager_requests, 0, NULL};
static const struct wl_message keyboard_requests[] = {
    {"keymap", "uhu", none},
    {"key", "uuu", none},
    {"modifiers", "uuuu", none},
    {"destroy", "", none},
};
const struct wl_interface zwp_virtual_keyboard_v1_interface = {
    "zwp_virtual_keyboard_v1", 1, 4, keyboard_requests, 0, NULL};

static struct wl_seat *seat;
static struct wl_proxy *pointer_manager, *keyboard_manager;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
    (void)data;
    (void)version;
    if (strcmp(interface, "wl_seat") == 0 && !seat) {
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        pointer_manager =
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        keyboard_manager =
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
    }
}
static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}
static const struct wl_registry_listener registry_listener = {global, global_remove};

static uint32_t now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: wlr-input WIDTH HEIGHT\n");
        return 2;
    }
    const uint32_t width = (uint32_t)atoi(argv[1]), height = (uint32_t)atoi(argv[2]);
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "wlr-input: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (!seat || !pointer_manager || !keyboard_manager) {
        fprintf(stderr, "wlr-input: the compositor lacks a seat or the virtual input protocols\n");
        return 1;
    }
    struct wl_proxy *pointer = wl_proxy_marshal_constructor(
        pointer_manager, 0, &zwlr_virtual_pointer_v1_interface, seat, NULL);
    struct wl_proxy *keyboard = wl_proxy_marshal_constructor(
        keyboard_manager, 0, &zwp_virtual_keyboard_v1_interface, seat, NULL);

    /* The default keymap (us), through a file the compositor maps. */
    struct xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    struct xkb_keymap *keymap = xkb_keymap_new_from_names(context, NULL, 0);
    if (!keymap) {
        fprintf(stderr, "wlr-input: no keymap\n");
        return 1;
    }
    char *text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    const size_t size = strlen(text) + 1;
    int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text, size) != (ssize_t)size) {
        perror("wlr-input: keymap");
        return 1;
    }
    wl_proxy_marshal(keyboard, 0, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
    wl_display_roundtrip(display);

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        unsigned x, y, code;
        if (sscanf(line, "move %u %u", &x, &y) == 2) {
            wl_proxy_marshal(pointer, 1, now_ms(), x, y, width, height);
            wl_proxy_marshal(pointer, 4);
        } else if (strncmp(line, "click", 5) == 0) {
            wl_proxy_marshal(pointer, 2, now_ms(), BTN_LEFT, 1);
            wl_proxy_marshal(pointer, 4);
            wl_display_roundtrip(display);
            usleep(30000);
            wl_proxy_marshal(pointer, 2, now_ms(), BTN_LEFT, 0);
            wl_proxy_marshal(pointer, 4);
        } else if (sscanf(line, "key %u", &code) == 1) {
            wl_proxy_marshal(keyboard, 1, now_ms(), code, 1);
            wl_display_roundtrip(display);
            usleep(30000);
            wl_proxy_marshal(keyboard, 1, now_ms(), code, 0);
        } else {
            fprintf(stderr, "wlr-input: unknown command: %s", line);
            continue;
        }
        if (wl_display_roundtrip(display) < 0) {
            fprintf(stderr, "wlr-input: lost the display\n");
            return 1;
        }
        printf("ok\n");
        fflush(stdout);
    }
    wl_display_disconnect(display);
    return 0;
}
