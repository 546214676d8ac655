#include "overlay/X11WindowHints.h"

#include <QGuiApplication>
#include <QWidget>

#if defined(QUORVEL_HAVE_XCB)
#include "common/XcbAtom.h"
#if QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>
#define QUORVEL_X11_HINTS 1
#endif
#endif

#include <array>

namespace quorvel {

void markAsOverlayWindow(QWidget* window) {
#if defined(QUORVEL_X11_HINTS)
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
#else
    Q_UNUSED(window);
#endif
}

} // namespace quorvel
