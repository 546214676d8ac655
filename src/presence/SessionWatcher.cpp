#include "presence/SessionWatcher.h"

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
const QString freedesktopSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString gnomeSaver = QStringLiteral("org.gnome.ScreenSaver");

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

QDBusServiceWatcher* watchService(const QString& service, const QDBusConnection& bus,
                                  QObject* parent) {
    return new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, parent);
}

} // namespace

SessionWatcher::SessionWatcher(QDBusConnection systemBus, QDBusConnection sessionBus,
                               QObject* parent)
    : QObject(parent), m_system(std::move(systemBus)), m_session(std::move(sessionBus)) {
    if (m_system.isConnected()) {
        auto* logind = watchService(logindService, m_system, this);
        connect(logind, &QDBusServiceWatcher::serviceRegistered, this,
                &SessionWatcher::logindAppeared);
        connect(logind, &QDBusServiceWatcher::serviceUnregistered, this,
                &SessionWatcher::logindVanished);
        m_system.connect(logindService, logindPath, managerInterface,
                         QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
        findSession(Lookup::byPid);
    }
    if (m_session.isConnected()) {
        struct Saver {
            const QString& service;
            QString path;
            bool& field;
            const char* slot;
        };
        const Saver savers[] = {
            {freedesktopSaver, QStringLiteral("/org/freedesktop/ScreenSaver"), m_freedesktopActive,
             SLOT(freedesktopActiveChanged(bool))},
            {gnomeSaver, QStringLiteral("/org/gnome/ScreenSaver"), m_gnomeActive,
             SLOT(gnomeActiveChanged(bool))},
        };
        for (const Saver& saver : savers) {
            // Any path: KDE has the same object under two paths.
            m_session.connect(saver.service, QString(), saver.service,
                              QStringLiteral("ActiveChanged"), this, saver.slot);
            auto* watcher = watchService(saver.service, m_session, this);
            bool* field = &saver.field;
            connect(watcher, &QDBusServiceWatcher::serviceRegistered, this,
                    [this, service = saver.service, path = saver.path, field] {
                        readScreenSaver(service, path, *field);
                    });
            connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
                    [this, field] { set(*field, false); });
            readScreenSaver(saver.service, saver.path, saver.field);
        }
    }
}

SessionWatcher::~SessionWatcher() = default;

void SessionWatcher::logindAppeared() {
    findSession(Lookup::byPid);
}

void SessionWatcher::logindVanished() {
    ++m_logindGeneration;
    watchSession(QString());
    m_logindLocked = false;
    m_asleep = false;
    Q_EMIT changed();
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
    if (path == m_sessionPath) {
        return;
    }
    if (!m_sessionPath.isEmpty()) {
        m_system.disconnect(logindService, m_sessionPath, sessionInterface, QStringLiteral("Lock"),
                            this, SLOT(logindLock()));
        m_system.disconnect(logindService, m_sessionPath, sessionInterface,
                            QStringLiteral("Unlock"), this, SLOT(logindUnlock()));
        m_system.disconnect(logindService, m_sessionPath, propertiesInterface,
                            QStringLiteral("PropertiesChanged"), this,
                            SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    }
    m_sessionPath = path;
    if (!m_sessionPath.isEmpty()) {
        m_system.connect(logindService, m_sessionPath, sessionInterface, QStringLiteral("Lock"),
                         this, SLOT(logindLock()));
        m_system.connect(logindService, m_sessionPath, sessionInterface, QStringLiteral("Unlock"),
                         this, SLOT(logindUnlock()));
        m_system.connect(logindService, m_sessionPath, propertiesInterface,
                         QStringLiteral("PropertiesChanged"), this,
                         SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    }
}

void SessionWatcher::readLockedHint() {
    QDBusMessage call = QDBusMessage::createMethodCall(logindService, m_sessionPath,
                                                       propertiesInterface, QStringLiteral("Get"));
    call << sessionInterface << QStringLiteral("LockedHint");
    whenAnswered(m_system.asyncCall(call), this,
                 [this, generation = m_logindGeneration,
                  lockSignals = m_lockSignals](const QDBusPendingCall& done) {
                     const QDBusPendingReply<QDBusVariant> reply(done);
                     if (generation == m_logindGeneration && lockSignals == m_lockSignals &&
                         reply.isValid()) {
                         set(m_logindLocked, reply.value().variant().toBool());
                     }
                 });
}

void SessionWatcher::readScreenSaver(const QString& service, const QString& path, bool& field) {
    const QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("GetActive"));
    whenAnswered(m_session.asyncCall(call), this,
                 [this, &field, saverSignals = m_saverSignals](const QDBusPendingCall& done) {
                     const QDBusPendingReply<bool> reply(done);
                     if (saverSignals == m_saverSignals && reply.isValid()) {
                         set(field, reply.value());
                     }
                 });
}

void SessionWatcher::logindLock() {
    ++m_lockSignals;
    set(m_logindLocked, true);
}

void SessionWatcher::logindUnlock() {
    ++m_lockSignals;
    set(m_logindLocked, false);
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
        set(m_logindLocked, hint->toBool());
    } else if (invalidated.contains(QStringLiteral("LockedHint"))) {
        readLockedHint();
    }
}

void SessionWatcher::prepareForSleep(bool sleeping) {
    set(m_asleep, sleeping);
}

void SessionWatcher::freedesktopActiveChanged(bool active) {
    ++m_saverSignals;
    set(m_freedesktopActive, active);
}

void SessionWatcher::gnomeActiveChanged(bool active) {
    ++m_saverSignals;
    set(m_gnomeActive, active);
}

void SessionWatcher::set(bool& field, bool value) {
    if (field != value) {
        field = value;
        Q_EMIT changed();
    }
}

} // namespace quorvel
