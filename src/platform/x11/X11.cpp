#include "platform/X11.h"

#include "platform/x11/Xcb.h"

#include <QRegularExpression>
#include <QWidget>
#include <algorithm>
#include <array>
#include <xcb/screensaver.h>

namespace quorvel::x11 {

namespace {

// The user's time of the launch, which a startup id ends with ("..._TIME<n>").
quint32 launchTime(const QByteArray& startupId) {
    static const QRegularExpression time(QStringLiteral("_TIME([0-9]+)$"));
    const auto match = time.match(QString::fromLatin1(startupId));
    return match.hasMatch() ? match.captured(1).toUInt() : 0;
}

// Startup notification's "remove" message: the launch is complete, the busy feedback ends.
void sendStartupComplete(xcb_connection_t* connection, xcb_window_t window,
                         const QByteArray& startupId) {
    QByteArray message = "remove: ID=";
    for (const char c : startupId) {
        if (c == ' ' || c == '"' || c == '\\') {
            message += '\\';
        }
        message += c;
    }
    message += '\0';
    const xcb_atom_t begin = internAtom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = internAtom(connection, "_NET_STARTUP_INFO");
    for (qsizetype offset = 0; offset < message.size(); offset += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = window;
        event.type = offset == 0 ? begin : more;
        const auto n = static_cast<size_t>(std::min<qsizetype>(20, message.size() - offset));
        std::memcpy(event.data.data8, message.constData() + offset, n);
        xcb_send_event(connection, 0, rootOf(connection), XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char*>(&event));
    }
}

const xcb_generic_event_t* xcbEvent(const QByteArray& eventType, const void* message) {
    return eventType == "xcb_generic_event_t" && message != nullptr
               ? static_cast<const xcb_generic_event_t*>(message)
               : nullptr;
}

} // namespace

bool connected() {
    return x11Connection() != nullptr;
}

bool isSession() {
    return QGuiApplication::platformName() == QLatin1String("xcb") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

std::optional<qint64> idleMs() {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr) {
        return std::nullopt;
    }
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_screensaver_id);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (extension == nullptr || extension->present == 0 || screen == nullptr) {
        return std::nullopt;
    }
    xcb_screensaver_query_info_reply_t* reply = xcb_screensaver_query_info_reply(
        connection, xcb_screensaver_query_info(connection, screen->root), nullptr);
    if (reply == nullptr) {
        return std::nullopt;
    }
    const qint64 ms = reply->ms_since_user_input;
    std::free(reply);
    return ms;
}

std::optional<bool> keyboardGrabbedByAnother() {
    return keyboardGrabbedByAnother(x11Connection());
}

std::optional<bool> keyboardGrabbedByAnother(xcb_connection_t* connection) {
    if (connection == nullptr) {
        return std::nullopt;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (screen == nullptr) {
        return std::nullopt;
    }
    xcb_grab_keyboard_reply_t* reply =
        xcb_grab_keyboard_reply(connection,
                                xcb_grab_keyboard(connection, 0, screen->root, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr);
    if (reply == nullptr) {
        return std::nullopt;
    }
    const uint8_t status = reply->status;
    std::free(reply);
    if (status == XCB_GRAB_STATUS_SUCCESS) {
        // Given back before this returns (a round trip), so that a locker starting right now
        // finds the keyboard free.
        xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
    // Frozen: another client's synchronous grab holds it, which is as good as a locker's.
    return status == XCB_GRAB_STATUS_ALREADY_GRABBED || status == XCB_GRAB_STATUS_FROZEN;
}

bool xembedTrayPresent() {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr) {
        return false;
    }
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        connection,
        xcb_get_selection_owner(connection, internAtom(connection, "_NET_SYSTEM_TRAY_S0")),
        nullptr);
    const bool owned = reply != nullptr && reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
}

bool isTrayAnnouncement(const QByteArray& eventType, const void* message) {
    // XEmbed trays announce themselves to every client with a MANAGER message on the root
    // window.
    const xcb_generic_event_t* event = xcbEvent(eventType, message);
    if (event == nullptr || (event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) {
        return false;
    }
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    xcb_connection_t* connection = x11Connection();
    return connection != nullptr && client->type == internAtom(connection, "MANAGER");
}

QRect placeOnScreen(QWidget* window) {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr || window == nullptr) {
        return {};
    }
    const auto id = static_cast<xcb_window_t>(window->winId());
    xcb_translate_coordinates_reply_t* origin = xcb_translate_coordinates_reply(
        connection, xcb_translate_coordinates(connection, id, rootOf(connection), 0, 0), nullptr);
    xcb_get_geometry_reply_t* size =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr);
    QRect result;
    if (origin != nullptr && size != nullptr) {
        const qreal ratio = window->devicePixelRatioF();
        result = QRect(qRound(origin->dst_x / ratio), qRound(origin->dst_y / ratio),
                       qRound(size->width / ratio), qRound(size->height / ratio));
    }
    std::free(origin);
    std::free(size);
    return result;
}

void setStartupId(QWidget* window, const QByteArray& startupId) {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr || window == nullptr) {
        return;
    }
    const auto id = static_cast<xcb_window_t>(window->winId());
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                        internAtom(connection, "_NET_STARTUP_ID"),
                        internAtom(connection, "UTF8_STRING"), 8,
                        static_cast<quint32>(startupId.size()), startupId.constData());
    xcb_flush(connection);
}

void activateForLaunch(QWidget* window, const QByteArray& startupId) {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr || window == nullptr) {
        return;
    }
    // With the launch's time: a window manager that prevents focus stealing weighs it against
    // the active window's last use, not Qt's last event here.
    const auto id = static_cast<xcb_window_t>(window->winId());
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = id;
    event.type = internAtom(connection, "_NET_ACTIVE_WINDOW");
    event.data.data32[0] = 1; // from an application
    event.data.data32[1] = launchTime(startupId);
    xcb_send_event(connection, 0, rootOf(connection),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    sendStartupComplete(connection, id, startupId);
    xcb_flush(connection);
}

void markAsNotification(QWidget* window) {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr || window == nullptr) {
        return;
    }
    const auto id = static_cast<xcb_window_t>(window->winId());
    // Qt merges its own states (above, full screen) into what it finds here when it maps
    // the window.
    const std::array<xcb_atom_t, 3> states{internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                           internAtom(connection, "_NET_WM_STATE_SKIP_PAGER"),
                                           internAtom(connection, "_NET_WM_STATE_STICKY")};
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, id,
                        internAtom(connection, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32, states.size(),
                        states.data());
    // What it is, for compositors' effects and for tools (Qt says "utility" for a tool).
    const xcb_atom_t type = internAtom(connection, "_NET_WM_WINDOW_TYPE_NOTIFICATION");
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                        internAtom(connection, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
    const quint32 allDesktops = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                        internAtom(connection, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1,
                        &allDesktops);
    xcb_flush(connection);
}

std::optional<quintptr> unmappedOrDestroyed(const QByteArray& eventType, const void* message) {
    const xcb_generic_event_t* event = xcbEvent(eventType, message);
    if (event == nullptr) {
        return std::nullopt;
    }
    switch (event->response_type & 0x7f) {
    case XCB_UNMAP_NOTIFY:
        return reinterpret_cast<const xcb_unmap_notify_event_t*>(event)->window;
    case XCB_DESTROY_NOTIFY:
        return reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window;
    default:
        return std::nullopt;
    }
}

} // namespace quorvel::x11
