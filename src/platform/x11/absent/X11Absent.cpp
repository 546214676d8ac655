#include "platform/EscapeKeyGrab.h"
#include "platform/X11.h"

// A build without xcb (or its screen-saver extension): no X server is ever talked to, and
// Escape reaches an overlay only through the window that has the focus.

namespace quorvel {

namespace x11 {

bool connected() {
    return false;
}

bool isSession() {
    return false;
}

std::optional<qint64> idleMs() {
    return std::nullopt;
}

std::optional<bool> keyboardGrabbedByAnother() {
    return std::nullopt;
}

bool xembedTrayPresent() {
    return false;
}

bool isTrayAnnouncement(const QByteArray&, const void*) {
    return false;
}

QRect placeOnScreen(QWidget*) {
    return {};
}

void setStartupId(QWidget*, const QByteArray&) {}

void activateForLaunch(QWidget*, const QByteArray&) {}

void markAsNotification(QWidget*) {}

std::optional<quintptr> unmappedOrDestroyed(const QByteArray&, const void*) {
    return std::nullopt;
}

} // namespace x11

EscapeKeyGrab::EscapeKeyGrab(QObject* parent) : QObject(parent), m_heldPoll(new QTimer(this)) {}

EscapeKeyGrab::~EscapeKeyGrab() = default;

bool EscapeKeyGrab::grab() {
    return false;
}

void EscapeKeyGrab::release() {}

void EscapeKeyGrab::pollHeldKey() {}

bool EscapeKeyGrab::nativeEventFilter(const QByteArray&, void*, qintptr*) {
    return false;
}

} // namespace quorvel
