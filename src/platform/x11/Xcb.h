#pragma once

// For platform/x11/ and the X server tests only: the rest of Quorvel asks through
// platform/X11.h.
#include <QGuiApplication>
#include <optional>
#include <xcb/xcb.h>

#if QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>
#endif

#include <cstdlib>
#include <cstring>

namespace quorvel::x11 {

// The atom called `name` on `connection`, created if new; XCB_ATOM_NONE when the server
// does not answer.
inline xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr);
    const xcb_atom_t result = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return result;
}

// The X server connection of this application; null on any other platform.
inline xcb_connection_t* x11Connection() {
#if QT_CONFIG(xcb)
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
#else
    return nullptr;
#endif
}

// The first screen's root window.
inline xcb_window_t rootOf(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

// keyboardGrabbedByAnother() as seen by any client of the server.
std::optional<bool> keyboardGrabbedByAnother(xcb_connection_t* connection);

} // namespace quorvel::x11
