#pragma once

#include "presence/PresencePolicy.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>

namespace quorvel {

class NameOwner;

// What the desktop says on D-Bus about locking and sleep, passed on as it comes:
// - logind on the system bus, for the caller's own session: Lock and Unlock (requests to
//   the session's locker, which may or may not follow), LockedHint (set by lockers that
//   report), and the manager's PrepareForSleep and PreparingForSleep;
// - the screen savers on the session bus (org.freedesktop.ScreenSaver, as KDE and Xfce have
//   it, and org.gnome.ScreenSaver): ActiveChanged and GetActive.
// Signals are taken only from the current owner of each name, found without waiting. When
// logind goes away, what it said last stands, and everything is read again when it is back;
// a screen saver that goes away takes its word with it. A missing bus or service, or an
// error reply, is normal and says nothing. Main thread only; nothing here waits on a bus.
class SessionWatcher : public QObject {
    Q_OBJECT

public:
    explicit SessionWatcher(QObject* parent = nullptr);
    ~SessionWatcher() override;

    // The buses, once connected (each once, and again after it was dropped).
    void setSystemBus(const QDBusConnection& bus);
    void setSessionBus(const QDBusConnection& bus);
    // A bus that went away (it crashed, or was made again): what its services said is
    // forgotten, each locker's word told as lockerLost(), until the bus is set again and
    // everything is read afresh.
    void dropSystemBus();
    void dropSessionBus();

    // The logind session followed ("/org/freedesktop/login1/session/..."); empty until found.
    QString sessionPath() const { return m_sessionPath; }

    // Asks logind again whether the computer is going to sleep (answered as sleepReported).
    void readSleeping();

Q_SIGNALS:
    void lockerReported(quorvel::Locker locker, bool locked);
    void lockerLost(quorvel::Locker locker);
    void lockRequested();
    void unlockRequested();
    void sleepReported(bool asleep);

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

    void logindOwnerChanged(const QString& owner);
    void findSession(Lookup step);
    void watchSession(const QString& path);
    void readLockedHint();
    void saverOwnerChanged(Locker locker, const QString& owner);
    void readScreenSaver(Locker locker);

    QDBusConnection m_system;
    QDBusConnection m_session;
    NameOwner* m_logind = nullptr;
    QString m_logindOwner;
    QString m_sessionPath;
    QString m_saverOwners[2];
    NameOwner* m_saverWatches[2] = {nullptr, nullptr};
    // Moves on when logind's owner changes, so replies to earlier questions are dropped.
    quint64 m_logindGeneration = 0;
    // Move on with every signal: a state read sent before one is older news.
    quint64 m_lockSignals = 0;
    quint64 m_sleepSignals = 0;
    quint64 m_saverSignals[2] = {0, 0};
};

} // namespace quorvel
