#include "platform/EscapeKeyGrab.h"

#include "platform/x11/Xcb.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdlib>

namespace quorvel {

using x11::x11Connection;

namespace {

constexpr xcb_keysym_t escapeKeysym = 0xff1b; // XK_Escape

// The lock modifiers that may be on while the user presses Escape.
constexpr quint16 lockCombinations[] = {
    0,
    XCB_MOD_MASK_LOCK,
    XCB_MOD_MASK_2,
    XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2,
};

QList<quint8> escapeKeycodes(xcb_connection_t* connection) {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const quint8 first = setup->min_keycode;
    const quint8 count = static_cast<quint8>(setup->max_keycode - setup->min_keycode + 1);
    xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
        connection, xcb_get_keyboard_mapping(connection, first, count), nullptr);
    QList<quint8> keycodes;
    if (reply == nullptr) {
        return keycodes;
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
    const int perKeycode = reply->keysyms_per_keycode;
    for (int i = 0; perKeycode > 0 && i < length; ++i) {
        if (syms[i] == escapeKeysym) {
            const auto keycode = static_cast<quint8>(first + i / perKeycode);
            if (!keycodes.contains(keycode)) {
                keycodes.append(keycode);
            }
        }
    }
    std::free(reply);
    return keycodes;
}

bool anyKeyDown(xcb_connection_t* connection, const QList<quint8>& keycodes) {
    xcb_query_keymap_reply_t* reply =
        xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
    const bool down =
        reply != nullptr && std::any_of(keycodes.begin(), keycodes.end(), [&](quint8 k) {
            return (reply->keys[k / 8] & (1 << (k % 8))) != 0;
        });
    std::free(reply);
    return down;
}

} // namespace

EscapeKeyGrab::EscapeKeyGrab(QObject* parent) : QObject(parent), m_heldPoll(new QTimer(this)) {
    // A key held before the grab goes up unseen when it does so before it repeats: the
    // release goes to the focused window. Look until it is up or its events come here.
    m_heldPoll->setInterval(50);
    connect(m_heldPoll, &QTimer::timeout, this, &EscapeKeyGrab::pollHeldKey);
}

EscapeKeyGrab::~EscapeKeyGrab() {
    release();
}

bool EscapeKeyGrab::grab() {
    if (m_grabbed) {
        return true;
    }
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr || xcb_connection_has_error(connection) != 0) {
        return false;
    }
    m_keycodes = escapeKeycodes(connection);
    m_roots.clear();
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem > 0;
         xcb_screen_next(&it)) {
        m_roots.append(it.data->root);
    }
    bool any = false;
    for (quint32 root : std::as_const(m_roots)) {
        for (quint8 keycode : std::as_const(m_keycodes)) {
            for (quint16 modifiers : lockCombinations) {
                // Another client holding the same grab makes this one fail; the others may
                // still hold.
                xcb_generic_error_t* error = xcb_request_check(
                    connection, xcb_grab_key_checked(connection, 0, root, modifiers, keycode,
                                                     XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
                if (error == nullptr) {
                    any = true;
                }
                std::free(error);
            }
        }
    }
    if (!any) {
        m_keycodes.clear();
        m_roots.clear();
        return false;
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
    m_grabbed = true;
    m_held = anyKeyDown(connection, m_keycodes);
    if (m_held) {
        m_heldPoll->start();
    }
    return true;
}

void EscapeKeyGrab::release() {
    if (!m_grabbed) {
        return;
    }
    m_grabbed = false;
    m_heldPoll->stop();
    if (auto* app = QCoreApplication::instance()) {
        app->removeNativeEventFilter(this);
    }
    if (xcb_connection_t* connection = x11Connection()) {
        for (quint32 root : std::as_const(m_roots)) {
            for (quint8 keycode : std::as_const(m_keycodes)) {
                for (quint16 modifiers : lockCombinations) {
                    xcb_ungrab_key(connection, keycode, root, modifiers);
                }
            }
        }
        xcb_flush(connection);
    }
    m_keycodes.clear();
    m_roots.clear();
}

void EscapeKeyGrab::pollHeldKey() {
    xcb_connection_t* connection = x11Connection();
    if (m_grabbed && connection != nullptr && anyKeyDown(connection, m_keycodes)) {
        return;
    }
    m_held = false;
    m_heldPoll->stop();
}

bool EscapeKeyGrab::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (!m_grabbed || eventType != "xcb_generic_event_t" || message == nullptr) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const quint8 kind = event->response_type & 0x7f;
    if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE) {
        return false;
    }
    // Press and release share one layout.
    const auto* key = static_cast<const xcb_key_press_event_t*>(message);
    if (!m_keycodes.contains(key->detail) || !m_roots.contains(key->event)) {
        return false;
    }
    m_heldPoll->stop(); // from now on the grab sees the key go up
    if (kind == XCB_KEY_PRESS) {
        const bool repeat = m_held || m_lastRelease == key->time;
        m_held = true;
        if (!repeat) {
            Q_EMIT escapePressed();
        }
    } else {
        m_held = false;
        m_lastRelease = key->time;
    }
    return true;
}

} // namespace quorvel
