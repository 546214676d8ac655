#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <optional>

namespace quorvel {

namespace wayland {
class IdleNotifier;
}

// How long there has been no keyboard or pointer input, from whoever on the desktop
// knows: the X server's screen-saver extension on an X11 session, the compositor's idle
// protocol on Wayland (wlroots compositors, KWin), else GNOME's Mutter idle monitor, else
// the org.freedesktop.ScreenSaver of KDE. Nobody answering is an answer too: idleness is
// unknown. Main thread only.
class IdleTime : public QObject {
    Q_OBJECT

public:
    using Answer = std::function<void(std::optional<qint64> idleMs)>;

    // `askWayland`: on Qt's Wayland platform, ask the compositor.
    IdleTime(bool askX11, bool askWayland, QObject* parent = nullptr);
    ~IdleTime() override;

    // The session bus, once connected.
    void setSessionBus(const QDBusConnection& bus);

    // Answers at once (X11, Wayland) or later on the main thread (D-Bus), never after this
    // is gone.
    void query(Answer answer);

    // Whether another client holds the keyboard, as every X11 screen locker does while it is
    // up (i3lock, xsecurelock, slock, light-locker): found by trying to take it, and giving it
    // back at once when that works. Nothing when nobody can tell (not an X11 session:
    // Wayland lets no client see whether the screen is locked).
    std::optional<bool> keyboardHeldElsewhere() const;

Q_SIGNALS:
    // Someone may answer now who could not before.
    void sourcesChanged();

private:
    void askMutter(Answer answer);
    void askFreedesktop(Answer answer);
    // Logs an answer and who gave it.
    static void answered(std::optional<qint64> ms, const char* source);

    QDBusConnection m_session;
    bool m_askX11;
    wayland::IdleNotifier* m_wayland = nullptr;
};

} // namespace quorvel
