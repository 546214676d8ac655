/* A virtual pointer and keyboard, kept for the whole run: keyboards that come and go lose
 * keys. On a wlroots compositor through zwlr_virtual_pointer_v1 and zwp_virtual_keyboard_v1,
 * on KWin through org_kde_kwin_fake_input.
 * Reads commands from standard input, one per line, and answers "ok" to each:
 *   move X Y      pointer to X,Y of the layout (WIDTH x HEIGHT given on the command line)
 *   click         left button down and up
 *   key CODE      an evdev key code down and up (1 Escape, 16 q)
 *   token         an xdg-activation token, as a launcher gets one (answered "token TOKEN")
 * Usage: virtual-input WIDTH HEIGHT */
#define _GNU_SOURCE
#include <linux/input-event-codes.h>
#include <stdbool.h>
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
/* KWin's fake input: requests up to keyboard_key (version 4). */
static const struct wl_message fake_input_requests[] = {
    {"authenticate", "ss", none},
    {"pointer_motion", "ff", none},
    {"button", "uu", none},
    {"axis", "uf", none},
    {"touch_down", "2uff", none},
    {"touch_motion", "2uff", none},
    {"touch_up", "2u", none},
    {"touch_cancel", "2", none},
    {"touch_frame", "2", none},
    {"pointer_motion_absolute", "3ff", none},
    {"keyboard_key", "4uu", none},
};
static const struct wl_interface org_kde_kwin_fake_input_interface = {
    "org_kde_kwin_fake_input", 4, 11, fake_input_requests, 0, NULL};
/* xdg_activation_v1, for the tokens a launcher hands the programs it starts. */
extern const struct wl_interface xdg_activation_token_v1_interface;
static const struct wl_interface *activation_types[] = {&xdg_activation_token_v1_interface};
static const struct wl_message activation_requests[] = {
    {"destroy", "", none},
    {"get_activation_token", "n", activation_types},
    {"activate", "so", none},
};
static const struct wl_interface xdg_activation_v1_interface = {
    "xdg_activation_v1", 1, 3, activation_requests, 0, NULL};
static const struct wl_message token_requests[] = {
    {"set_serial", "uo", none}, {"set_app_id", "s", none}, {"set_surface", "o", none},
    {"commit", "", none},       {"destroy", "", none},
};
static const struct wl_message token_events[] = {{"done", "s", none}};
const struct wl_interface xdg_activation_token_v1_interface = {
    "xdg_activation_token_v1", 1, 5, token_requests, 1, token_events};
enum { FAKE_AUTHENTICATE = 0, FAKE_BUTTON = 2, FAKE_MOTION_ABSOLUTE = 9, FAKE_KEY = 10 };

static struct wl_seat *seat;
static struct wl_proxy *pointer_manager, *keyboard_manager, *fake_input, *activation;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
    (void)data;
    if (strcmp(interface, "wl_seat") == 0 && !seat) {
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        pointer_manager =
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        keyboard_manager =
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
    } else if (strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4) {
        fake_input = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4);
    } else if (strcmp(interface, xdg_activation_v1_interface.name) == 0) {
        activation = wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1);
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

static char token[256];
static void token_done(void *data, struct wl_proxy *proxy, const char *value) {
    (void)data;
    (void)proxy;
    snprintf(token, sizeof token, "%s", value);
}
static const struct {
    void (*done)(void *, struct wl_proxy *, const char *);
} token_listener = {token_done};

/* Prints a new activation token, or "token none". */
static void print_token(struct wl_display *display) {
    token[0] = '\0';
    if (activation) {
        struct wl_proxy *request =
            wl_proxy_marshal_constructor(activation, 1, &xdg_activation_token_v1_interface, NULL);
        wl_proxy_add_listener(request, (void (**)(void))&token_listener, NULL);
        wl_proxy_marshal(request, 1, "quorvel");
        wl_proxy_marshal(request, 3);
        for (int i = 0; i < 50 && token[0] == '\0' && wl_display_roundtrip(display) >= 0; ++i) {
        }
        wl_proxy_marshal(request, 4);
        wl_proxy_destroy(request);
    }
    printf("token %s\n", token[0] ? token : "none");
}

/* One command; false when the line is not one. */
static bool wlr_command(struct wl_display *display, struct wl_proxy *pointer,
                        struct wl_proxy *keyboard, const char *line, uint32_t width,
                        uint32_t height) {
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
        return false;
    }
    return true;
}

static bool fake_command(struct wl_display *display, const char *line) {
    unsigned x, y, code;
    if (sscanf(line, "move %u %u", &x, &y) == 2) {
        wl_proxy_marshal(fake_input, FAKE_MOTION_ABSOLUTE, wl_fixed_from_int((int)x),
                         wl_fixed_from_int((int)y));
    } else if (strncmp(line, "click", 5) == 0) {
        wl_proxy_marshal(fake_input, FAKE_BUTTON, BTN_LEFT, 1);
        wl_display_roundtrip(display);
        usleep(30000);
        wl_proxy_marshal(fake_input, FAKE_BUTTON, BTN_LEFT, 0);
    } else if (sscanf(line, "key %u", &code) == 1) {
        wl_proxy_marshal(fake_input, FAKE_KEY, code, 1);
        wl_display_roundtrip(display);
        usleep(30000);
        wl_proxy_marshal(fake_input, FAKE_KEY, code, 0);
    } else {
        return false;
    }
    return true;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: virtual-input WIDTH HEIGHT\n");
        return 2;
    }
    const uint32_t width = (uint32_t)atoi(argv[1]), height = (uint32_t)atoi(argv[2]);
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "virtual-input: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    struct wl_proxy *pointer = NULL, *keyboard = NULL;
    if (seat && pointer_manager && keyboard_manager) {
        pointer = wl_proxy_marshal_constructor(pointer_manager, 0,
                                               &zwlr_virtual_pointer_v1_interface, seat, NULL);
        keyboard = wl_proxy_marshal_constructor(keyboard_manager, 0,
                                                &zwp_virtual_keyboard_v1_interface, seat, NULL);
        /* The default keymap (us), through a file the compositor maps. */
        struct xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        struct xkb_keymap *keymap = xkb_keymap_new_from_names(context, NULL, 0);
        if (!keymap) {
            fprintf(stderr, "virtual-input: no keymap\n");
            return 1;
        }
        char *text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
        const size_t size = strlen(text) + 1;
        int fd = memfd_create("keymap", MFD_CLOEXEC);
        if (fd < 0 || write(fd, text, size) != (ssize_t)size) {
            perror("virtual-input: keymap");
            return 1;
        }
        wl_proxy_marshal(keyboard, 0, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
    } else if (fake_input) {
        /* KWin takes events from a device once it has introduced itself. */
        wl_proxy_marshal(fake_input, FAKE_AUTHENTICATE, "quorvel desktop suite",
                         "input for the acceptance tests");
    } else {
        fprintf(stderr, "virtual-input: the compositor offers no virtual input protocol\n");
        return 1;
    }
    wl_display_roundtrip(display);

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        if (strncmp(line, "token", 5) == 0) {
            print_token(display);
            fflush(stdout);
            continue;
        }
        const bool known = pointer ? wlr_command(display, pointer, keyboard, line, width, height)
                                   : fake_command(display, line);
        if (!known) {
            fprintf(stderr, "virtual-input: unknown command: %s", line);
            continue;
        }
        if (wl_display_roundtrip(display) < 0) {
            fprintf(stderr, "virtual-input: lost the display\n");
            return 1;
        }
        printf("ok\n");
        fflush(stdout);
    }
    wl_display_disconnect(display);
    return 0;
}
