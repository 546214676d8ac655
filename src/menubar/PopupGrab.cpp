#include "menubar/PopupGrab.h"

#include "menubar/MenuBarLogging.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>

namespace quorvel {

PopupGrab::PopupGrab(QWidget* popup) : QObject(popup), m_popup(popup) {
    connect(&m_retry, &QTimer::timeout, this, &PopupGrab::tryGrab);
    popup->installEventFilter(this);
}

bool PopupGrab::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_popup) {
        if (event->type() == QEvent::Show) {
            m_held = false;
            m_tries = 0;
            // After Qt's own grab, which follows the show event.
            QTimer::singleShot(0, this, &PopupGrab::tryGrab);
        } else if (event->type() == QEvent::Hide) {
            m_retry.stop();
            // The X server ends a grab whose window goes, but Qt lets go of its record of a
            // grab it did not take itself only when told.
            if (m_held && m_popup->windowHandle()) {
                m_popup->windowHandle()->setMouseGrabEnabled(false);
                m_popup->windowHandle()->setKeyboardGrabEnabled(false);
            }
            m_held = false;
        }
    }
    return QObject::eventFilter(watched, event);
}

void PopupGrab::tryGrab() {
    QWindow* window = m_popup ? m_popup->windowHandle() : nullptr;
    if (!window || !m_popup->isVisible()) {
        m_retry.stop();
        return;
    }
    // Taking a grab this program already holds succeeds, so this also confirms Qt's. Both or
    // neither, as Qt does: the keyboard alone would leave clicks outside unseen.
    bool held = window->setKeyboardGrabEnabled(true);
    if (held && !window->setMouseGrabEnabled(true)) {
        window->setKeyboardGrabEnabled(false);
        held = false;
    }
    if (held) {
        m_retry.stop();
        m_held = true;
        if (m_tries > 0) {
            qCInfo(lcMenuBar, "the panel took the keyboard and pointer after %d more tries",
                   m_tries);
        }
        return;
    }
    if (m_tries++ == 0) {
        qCInfo(lcMenuBar, "another program holds the keyboard or pointer: the panel asks for "
                          "them until it lets go");
        m_retry.start(retryIntervalMs);
    } else if (m_tries * retryIntervalMs == quickRetriesForMs) {
        m_retry.start(slowRetryIntervalMs); // a grab held that long is no closing menu
    }
}

} // namespace quorvel
