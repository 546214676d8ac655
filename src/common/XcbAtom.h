#pragma once

// Only for sources built with xcb (QUORVEL_HAVE_XCB).
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace quorvel {

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

} // namespace quorvel
