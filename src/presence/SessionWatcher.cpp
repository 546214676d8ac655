#include "presence/SessionWatcher.h"

#include "presence/PresenceLogging.h"

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <functional>
#include <unistd.h>

namespace quorvel {

namespace {

const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

struct Saver {
    Locker locker;
    QString service;
    QString path;
    const char* slot;
};
const Saver savers[2] = {
    {Locker::freedesktopSaver, QStringLiteral("org.freedesktop.ScreenSaver"),
     QStringLiteral("/org/freedesktop/ScreenSaver"), SLOT(freedesktopActiveChanged(bool))},
    {Locker::gnomeSaver, QStringLiteral("org.gnome.ScreenSaver"),
     QStringLiteral("/org/gnome/ScreenSaver"), SLOT(gnomeActiveChanged(bool))},
};

int saverIndex(Locker locker) {
    return locker == Locker::freedesktopSaver ? 0 : 1;
}

// Calls `onReply` with the finished call on the main thread, unless `context` is gone.
void whenAnswered(const QDBusPendingCall& call, QObject* context,
                  std::function<void(const QDBusPendingCall&)> onReply) {
    auto* watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, onReply = std::move(onReply)] {
                         watcher->deleteLater();
                         onReply(*watcher);
                     });
}

QDBusPendingCall getProperty(const QDBusConnection& bus, const QString& service,
                             const QString& path, const QString& interface, const QString& name) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, propertiesInterface, QStringLiteral("Get"));
    call << interface << name;
    return bus.asyncCall(call);
}

} // namespace

// The unique name that owns a well-known one, told on every change; empty while nobody
// does. Qt looks a name's owner up synchronously when a signal is connected by the
// well-known name, so signals are connected by this unique name instead.
class NameOwner : public QObject {
public:
    NameOwner(const QDBusConnection& bus, const QString& name,
              std::function<void(const QString&)> changed, QObject* parent)
        : QObject(parent), m_changed(std::move(changed)) {
        auto* watcher =
            new QDBusServiceWatcher(name, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString&, const QString& owner) {
                    ++m_changes;
                    set(owner);
                });
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
        call << name;
        whenAnswered(bus.asyncCall(call), this, [this](const QDBusPendingCall& done) {
            const QDBusPendingReply<QString> reply(done);
            if (m_changes == 0 && reply.isValid()) {
                set(reply.value());
            }
        });
    }

private:
    void set(const QString& owner) {
        if (owner != m_owner) {
            m_owner = owner;
            m_changed(owner);
        }
    }

    std::function<void(const QString&)> m_changed;
    QString m_owner;
    quint64 m_changes = 0;
};

SessionWatcher::SessionWatcher(QObject* parent)
    : QObject(parent), m_system(QStringLiteral("quorvel-no-bus")),
      m_session(QStringLiteral("quorvel-no-bus")) {}

SessionWatcher::~SessionWatcher() = default;

void SessionWatcher::setSystemBus(const QDBusConnection& bus) {
    if (!bus.isConnected() || m_logind != nullptr) {
        return;
    }
    m_system = bus;
    m_logind = new NameOwner(
        m_system, logindService, [this](const QString& owner) { logindOwnerChanged(owner); }, this);
}

void SessionWatcher::setSessionBus(const QDBusConnection& bus) {
    if (!bus.isConnected() || m_session.isConnected()) {
        return;
    }
    m_session = bus;
    for (const Saver& saver : savers) {
        m_saverWatches[saverIndex(saver.locker)] = new NameOwner(
            m_session, saver.service,
            [this, locker = saver.locker](const QString& owner) {
                saverOwnerChanged(locker, owner);
            },
            this);
    }
}

void SessionWatcher::dropSystemBus() {
    delete std::exchange(m_logind, nullptr);
    ++m_logindGeneration; // replies still under way are from the old bus
    m_logindOwner.clear();
    m_sessionPath.clear();
    m_system = QDBusConnection(QStringLiteral("quorvel-no-bus"));
    Q_EMIT lockerLost(Locker::logindHint);
}

void SessionWatcher::dropSessionBus() {
    for (const Saver& saver : savers) {
        const int i = saverIndex(saver.locker);
        delete std::exchange(m_saverWatches[i], nullptr);
        ++m_saverSignals[i];
        m_saverOwners[i].clear();
    }
    m_session = QDBusConnection(QStringLiteral("quorvel-no-bus"));
    for (const Saver& saver : savers) {
        Q_EMIT lockerLost(saver.locker);
    }
}

// ---- logind ----

void SessionWatcher::logindOwnerChanged(const QString& owner) {
    ++m_logindGeneration;
    watchSession(QString());
    if (!m_logindOwner.isEmpty()) {
        m_system.disconnect(m_logindOwner, logindPath, managerInterface,
                            QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    }
    m_logindOwner = owner;
    if (owner.isEmpty()) {
        return; // restarting, perhaps: what it said last stands until it is back
    }
    m_system.connect(owner, logindPath, managerInterface, QStringLiteral("PrepareForSleep"), this,
                     SLOT(prepareForSleep(bool)));
    readSleeping();
    findSession(Lookup::byPid);
}

// Our own session: the one this process belongs to, else the one the desktop that started
// us named, else the one logind picks for the caller (the user's display session).
void SessionWatcher::findSession(Lookup step) {
    QDBusMessage call;
    if (step == Lookup::byPid) {
        call = QDBusMessage::createMethodCall(logindService, logindPath, managerInterface,
                                              QStringLiteral("GetSessionByPID"));
        call << quint32(::getpid());
    } else {
        const QString id = step == Lookup::byEnvironment
                               ? QString::fromLocal8Bit(qgetenv("XDG_SESSION_ID"))
                               : QStringLiteral("auto");
        if (id.isEmpty()) {
            findSession(Lookup::automatic);
            return;
        }
        call = QDBusMessage::createMethodCall(logindService, logindPath, managerInterface,
                                              QStringLiteral("GetSession"));
        call << id;
    }
    whenAnswered(m_system.asyncCall(call), this,
                 [this, step, generation = m_logindGeneration](const QDBusPendingCall& done) {
                     if (generation != m_logindGeneration) {
                         return;
                     }
                     const QDBusPendingReply<QDBusObjectPath> reply(done);
                     if (reply.isValid()) {
                         watchSession(reply.value().path());
                         readLockedHint();
                     } else if (step == Lookup::byPid) {
                         findSession(Lookup::byEnvironment);
                     } else if (step == Lookup::byEnvironment) {
                         findSession(Lookup::automatic);
                     }
                 });
}

void SessionWatcher::watchSession(const QString& path) {
    const struct {
        QString interface;
        QString member;
        const char* slot;
    } signals_[] = {
        {sessionInterface, QStringLiteral("Lock"), SLOT(logindLock())},
        {sessionInterface, QStringLiteral("Unlock"), SLOT(logindUnlock())},
        {propertiesInterface, QStringLiteral("PropertiesChanged"),
         SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList))},
    };
    if (!m_sessionPath.isEmpty()) {
        for (const auto& s : signals_) {
            m_system.disconnect(m_logindOwner, m_sessionPath, s.interface, s.member, this, s.slot);
        }
    }
    m_sessionPath = path;
    if (!m_sessionPath.isEmpty()) {
        for (const auto& s : signals_) {
            m_system.connect(m_logindOwner, m_sessionPath, s.interface, s.member, this, s.slot);
        }
    }
}

void SessionWatcher::readLockedHint() {
    whenAnswered(getProperty(m_system, logindService, m_sessionPath, sessionInterface,
                             QStringLiteral("LockedHint")),
                 this,
                 [this, generation = m_logindGeneration,
                  lockSignals = m_lockSignals](const QDBusPendingCall& done) {
                     const QDBusPendingReply<QDBusVariant> reply(done);
                     if (generation == m_logindGeneration && lockSignals == m_lockSignals &&
                         reply.isValid()) {
                         const bool locked = reply.value().variant().toBool();
                         qCInfo(lcPresence, "logind: LockedHint read: %d", locked);
                         Q_EMIT lockerReported(Locker::logindHint, locked);
                     }
                 });
}

void SessionWatcher::readSleeping() {
    if (m_logindOwner.isEmpty()) {
        return;
    }
    whenAnswered(getProperty(m_system, logindService, logindPath, managerInterface,
                             QStringLiteral("PreparingForSleep")),
                 this,
                 [this, generation = m_logindGeneration,
                  sleepSignals = m_sleepSignals](const QDBusPendingCall& done) {
                     const QDBusPendingReply<QDBusVariant> reply(done);
                     if (generation == m_logindGeneration && sleepSignals == m_sleepSignals &&
                         reply.isValid()) {
                         const bool asleep = reply.value().variant().toBool();
                         qCInfo(lcPresence, "logind: PreparingForSleep read: %d", asleep);
                         Q_EMIT sleepReported(asleep);
                     }
                 });
}

void SessionWatcher::logindLock() {
    qCInfo(lcPresence, "logind: Lock");
    Q_EMIT lockRequested();
}

void SessionWatcher::logindUnlock() {
    qCInfo(lcPresence, "logind: Unlock");
    Q_EMIT unlockRequested();
}

void SessionWatcher::sessionPropertiesChanged(const QString& interface,
                                              const QVariantMap& changedProperties,
                                              const QStringList& invalidated) {
    if (interface != sessionInterface) {
        return;
    }
    const auto hint = changedProperties.constFind(QStringLiteral("LockedHint"));
    if (hint != changedProperties.constEnd()) {
        ++m_lockSignals;
        qCInfo(lcPresence, "logind: LockedHint changed: %d", hint->toBool());
        Q_EMIT lockerReported(Locker::logindHint, hint->toBool());
    } else if (invalidated.contains(QStringLiteral("LockedHint"))) {
        readLockedHint();
    }
}

void SessionWatcher::prepareForSleep(bool sleeping) {
    ++m_sleepSignals;
    qCInfo(lcPresence, "logind: PrepareForSleep(%d)", sleeping);
    Q_EMIT sleepReported(sleeping);
}

// ---- Screen savers ----

void SessionWatcher::saverOwnerChanged(Locker locker, const QString& owner) {
    const int i = saverIndex(locker);
    const Saver& saver = savers[i];
    ++m_saverSignals[i];
    if (!m_saverOwners[i].isEmpty()) {
        m_session.disconnect(m_saverOwners[i], QString(), saver.service,
                             QStringLiteral("ActiveChanged"), this, saver.slot);
    }
    m_saverOwners[i] = owner;
    qCInfo(lcPresence, "%s: %s", qUtf8Printable(saver.service),
           owner.isEmpty() ? "gone" : "on the bus");
    if (owner.isEmpty()) {
        Q_EMIT lockerReported(locker, false); // the locker's word goes with it
        return;
    }
    // Any path: KDE has the same object under two paths.
    m_session.connect(owner, QString(), saver.service, QStringLiteral("ActiveChanged"), this,
                      saver.slot);
    readScreenSaver(locker);
}

void SessionWatcher::readScreenSaver(Locker locker) {
    const int i = saverIndex(locker);
    const QDBusMessage call = QDBusMessage::createMethodCall(
        savers[i].service, savers[i].path, savers[i].service, QStringLiteral("GetActive"));
    whenAnswered(m_session.asyncCall(call), this,
                 [this, locker, i, saverSignals = m_saverSignals[i]](const QDBusPendingCall& done) {
                     const QDBusPendingReply<bool> reply(done);
                     if (saverSignals == m_saverSignals[i] && reply.isValid()) {
                         qCInfo(lcPresence, "%s: GetActive: %d", qUtf8Printable(savers[i].service),
                                reply.value());
                         Q_EMIT lockerReported(locker, reply.value());
                     }
                 });
}

void SessionWatcher::freedesktopActiveChanged(bool active) {
    ++m_saverSignals[0];
    qCInfo(lcPresence, "%s: ActiveChanged(%d)", qUtf8Printable(savers[0].service), active);
    Q_EMIT lockerReported(Locker::freedesktopSaver, active);
}

void SessionWatcher::gnomeActiveChanged(bool active) {
    ++m_saverSignals[1];
    qCInfo(lcPresence, "%s: ActiveChanged(%d)", qUtf8Printable(savers[1].service), active);
    Q_EMIT lockerReported(Locker::gnomeSaver, active);
}

} // namespace quorvel
