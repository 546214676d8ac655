#include "overlay/X11WindowHints.h"

#include <QGuiApplication>
#include <QWidget>

#if defined(QUORVEL_HAVE_XCB)
#include <xcb/xcb.h>
#if QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>
#define QUORVEL_X11_HINTS 1
#endif
#endif

#include <array>
#include <cstdlib>
#include <cstring>

namespace quorvel {

#if defined(QUORVEL_X11_HINTS)
namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<quint16>(std::strlen(name)), name),
        nullptr);
    const xcb_atom_t result = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return result;
}

} // namespace
#endif

void markAsOverlayWindow(QWidget* window) {
#if defined(QUORVEL_X11_HINTS)
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr || window == nullptr) {
        return;
    }
    const auto id = static_cast<xcb_window_t>(window->winId());
    // Qt merges its own states (above, full screen) into what it finds here when it maps
    // the window.
    const std::array<xcb_atom_t, 3> states{atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                           atom(connection, "_NET_WM_STATE_SKIP_PAGER"),
                                           atom(connection, "_NET_WM_STATE_STICKY")};
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, atom(connection, "_NET_WM_STATE"),
                        XCB_ATOM_ATOM, 32, states.size(), states.data());
    // What it is, for compositors' effects and for tools (Qt says "utility" for a tool).
    const xcb_atom_t type = atom(connection, "_NET_WM_WINDOW_TYPE_NOTIFICATION");
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                        atom(connection, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
    const quint32 allDesktops = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atom(connection, "_NET_WM_DESKTOP"),
                        XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    xcb_flush(connection);
#else
    Q_UNUSED(window);
#endif
}

} // namespace quorvel
