#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <optional>

namespace quorvel {

// How long there has been no keyboard or pointer input, from whoever on the desktop
// knows: the X server's screen-saver extension on an X11 session, else GNOME's Mutter idle
// monitor, else the org.freedesktop.ScreenSaver of KDE. Nobody answering is an answer too:
// idleness is unknown. Main thread only.
class IdleTime : public QObject {
    Q_OBJECT

public:
    using Answer = std::function<void(std::optional<qint64> idleMs)>;

    IdleTime(QDBusConnection sessionBus, bool askX11, QObject* parent = nullptr);

    // Whether anyone could ever answer (an X11 session, or a session bus).
    bool canAnswer() const;

    // Answers at once (X11) or later on the main thread (D-Bus), never after this is gone.
    void query(Answer answer);

private:
    void askMutter(Answer answer);
    void askFreedesktop(Answer answer);
    static std::optional<qint64> askX11();

    QDBusConnection m_session;
    bool m_askX11;
};

} // namespace quorvel
