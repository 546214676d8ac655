#pragma once

#include <QAbstractNativeEventFilter>
#include <QList>
#include <QObject>
#include <QTimer>
#include <optional>

namespace quorvel {

// Escape for the overlays without taking the keyboard from the application in use.
//
// On X11, grab() takes a passive grab of the Escape key (alone, or with Caps Lock or Num
// Lock on) on every root window: the X server then hands that one key to Quorvel
// whichever window has the focus, and every other key goes where it always goes.
// release() gives it back. Elsewhere (Wayland, offscreen) grab() returns false and Escape
// only reaches an overlay window that has the focus.
//
// Only a fresh press counts: while the key is held, its repeats are ignored, whether they
// come as presses alone (detectable auto-repeat, which Qt asks the server for) or as a
// release and a press with the same timestamp. A key already held when the grab is taken
// is a held key too, until it is seen to go up.
class EscapeKeyGrab : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    explicit EscapeKeyGrab(QObject* parent = nullptr);
    ~EscapeKeyGrab() override;

    // True when Escape is grabbed now (also when it already was).
    bool grab();
    void release();
    bool isGrabbed() const { return m_grabbed; }
    // Escape is down since a press or the grab; its presses are repeats until it goes up.
    bool isEscapeHeld() const { return m_held; }
    // Escape's key codes on this keyboard, while grabbed.
    const QList<quint8>& keycodes() const { return m_keycodes; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    // Escape went down while grabbed. The key press itself is consumed.
    void escapePressed();

private:
    void pollHeldKey();

    bool m_grabbed = false;
    bool m_held = false;
    std::optional<quint32> m_lastRelease; // server time
    QTimer* m_heldPoll = nullptr;
    QList<quint8> m_keycodes;
    QList<quint32> m_roots;
};

} // namespace quorvel
