#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusServiceWatcher;

namespace quorvel {

// Whether the user's session is locked or the computer is going to sleep, as the desktop
// says on D-Bus:
// - logind on the system bus: the LockedHint of the caller's own session and that
//   session's Lock/Unlock signals; the manager's PrepareForSleep for sleep;
// - the screen savers on the session bus (org.freedesktop.ScreenSaver, as KDE and Xfce
//   have it, and org.gnome.ScreenSaver): ActiveChanged, for desktops that lock without
//   telling logind.
// The session counts as locked while any of them says so. A bus that is not there, a
// service that is missing, or an error reply is normal and changes nothing; a service
// that goes away takes what it said with it and is read again when it comes back.
// Main thread only; every call is asynchronous.
class SessionWatcher : public QObject {
    Q_OBJECT

public:
    SessionWatcher(QDBusConnection systemBus, QDBusConnection sessionBus,
                   QObject* parent = nullptr);
    ~SessionWatcher() override;

    bool isLocked() const { return m_logindLocked || m_freedesktopActive || m_gnomeActive; }
    bool isAsleep() const { return m_asleep; }
    // The logind session followed; empty until found.
    QString sessionPath() const { return m_sessionPath; }

Q_SIGNALS:
    // isLocked() or isAsleep() may have changed.
    void changed();

private Q_SLOTS:
    void logindLock();
    void logindUnlock();
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changedProperties,
                                  const QStringList& invalidated);
    void prepareForSleep(bool sleeping);
    void freedesktopActiveChanged(bool active);
    void gnomeActiveChanged(bool active);

private:
    enum class Lookup { byPid, byEnvironment, automatic };

    void logindAppeared();
    void logindVanished();
    void findSession(Lookup step);
    void watchSession(const QString& path);
    void readLockedHint();
    void readScreenSaver(const QString& service, const QString& path, bool& field);
    void set(bool& field, bool value);

    QDBusConnection m_system;
    QDBusConnection m_session;
    QString m_sessionPath;
    // Moves on when logind goes away, so replies to earlier questions are dropped.
    quint64 m_logindGeneration = 0;
    // Move on with every lock signal: a state read sent before one is older news.
    quint64 m_lockSignals = 0;
    quint64 m_saverSignals = 0;
    bool m_logindLocked = false;
    bool m_asleep = false;
    bool m_freedesktopActive = false;
    bool m_gnomeActive = false;
};

} // namespace quorvel
