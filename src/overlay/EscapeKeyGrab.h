#pragma once

#include <QAbstractNativeEventFilter>
#include <QList>
#include <QObject>

namespace quorvel {

// Escape for the overlays without taking the keyboard from the application in use.
//
// On X11, grab() takes a passive grab of the Escape key (alone, or with Caps Lock or Num
// Lock on) on every root window: the X server then hands that one key to Quorvel
// whichever window has the focus, and every other key goes where it always goes.
// release() gives it back. Elsewhere (Wayland, offscreen) grab() returns false and Escape
// only reaches an overlay window that has the focus.
class EscapeKeyGrab : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    explicit EscapeKeyGrab(QObject* parent = nullptr);
    ~EscapeKeyGrab() override;

    // True when Escape is grabbed now (also when it already was).
    bool grab();
    void release();
    bool isGrabbed() const { return m_grabbed; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    // Escape went down while grabbed. The key press itself is consumed.
    void escapePressed();

private:
    bool m_grabbed = false;
    QList<quint8> m_keycodes;
    QList<quint32> m_roots;
};

} // namespace quorvel
