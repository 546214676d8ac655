#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <optional>

namespace quorvel {

class WaylandIdle;

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

Q_SIGNALS:
    // Someone may answer now who could not before.
    void sourcesChanged();

private:
    void askMutter(Answer answer);
    void askFreedesktop(Answer answer);
    static std::optional<qint64> askX11();

    QDBusConnection m_session;
    bool m_askX11;
    WaylandIdle* m_wayland = nullptr;
};

} // namespace quorvel
