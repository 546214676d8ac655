#pragma once

#include <QByteArray>
#include <cstdlib>
#include <xcb/xcb.h>

namespace quorvel::test {

// Another program on the same X server, as raw as a screen locker or a desktop shell's menu:
// takes and lets go of the keyboard and pointer, or holds the input focus in a window of its own.
class XClient {
public:
    explicit XClient(const QByteArray& display)
        : connection(xcb_connect(display.constData(), nullptr)) {
        if (xcb_connection_has_error(connection) == 0) {
            root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        }
    }
    ~XClient() { xcb_disconnect(connection); }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    // What a grab of the keyboard answers (XCB_GRAB_STATUS_*).
    int grabKeyboard() {
        auto* reply =
            xcb_grab_keyboard_reply(connection,
                                    xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr);
        return status(reply);
    }
    int grabPointer() {
        auto* reply = xcb_grab_pointer_reply(
            connection,
            xcb_grab_pointer(
                connection, 0, root, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE,
                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
            nullptr);
        return status(reply);
    }
    void releaseKeyboard() {
        xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
        sync();
    }
    void releasePointer() {
        xcb_ungrab_pointer(connection, XCB_CURRENT_TIME);
        sync();
    }
    // A window of this client, shown at the top left, with the input focus.
    void takeFocus() {
        const xcb_window_t window = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, root, 0, 0, 200, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_map_window(connection, window);
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        sync();
    }
    // A round trip: the server has acted on every request before anyone asks again.
    void sync() {
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }

    xcb_connection_t* connection;
    xcb_window_t root = 0;

private:
    template <typename Reply> static int status(Reply* reply) {
        const int result = reply != nullptr ? reply->status : -1;
        std::free(reply);
        return result;
    }
};

} // namespace quorvel::test
