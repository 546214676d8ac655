#include "presence/PresenceMonitor.h"

#include "presence/IdleTime.h"
#include "presence/PresenceLogging.h"
#include "presence/SessionWatcher.h"

#include <QByteArray>
#include <QFileInfo>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace quorvel {

namespace {

QString userBusAddress(bool system) {
    if (system) {
        return qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS",
                                    QStringLiteral("unix:path=/var/run/dbus/system_bus_socket"));
    }
    QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    const QString runtimeBus = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus");
    if (address.isEmpty() && QFileInfo(runtimeBus).exists()) {
        address = QStringLiteral("unix:path=") + runtimeBus;
    }
    return address;
}

// The socket of one "unix:" entry of a D-Bus address, if it names one.
std::optional<sockaddr_un> unixSocket(const QString& entry) {
    if (!entry.startsWith(QLatin1String("unix:"))) {
        return std::nullopt;
    }
    for (const QString& pair : entry.mid(5).split(u',')) {
        const QString key = pair.section(u'=', 0, 0);
        if (key != QLatin1String("path") && key != QLatin1String("abstract")) {
            continue;
        }
        const QByteArray value = QByteArray::fromPercentEncoding(pair.section(u'=', 1).toUtf8());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const size_t offset = key == QLatin1String("abstract") ? 1 : 0; // abstract: leading NUL
        if (value.isEmpty() || size_t(value.size()) + offset >= sizeof(address.sun_path)) {
            return std::nullopt;
        }
        std::copy(value.begin(), value.end(), address.sun_path + offset);
        return address;
    }
    return std::nullopt;
}

// Connects and says AUTH as libdbus would; any answer line means the bus is alive.
bool socketAnswers(const sockaddr_un& address, std::chrono::milliseconds patience) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    socklen_t length = sizeof(address);
    if (address.sun_path[0] == '\0') {
        length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(address.sun_path + 1));
    }
    bool answered = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        const QByteArray hello = QByteArray(1, '\0') + "AUTH EXTERNAL " +
                                 QByteArray::number(::getuid()).toHex() + "\r\n";
        if (::send(fd, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size()) {
            pollfd wait{fd, POLLIN, 0};
            int ready = 0;
            do {
                ready = ::poll(&wait, 1, int(patience.count()));
            } while (ready < 0 && errno == EINTR);
            char reply[2];
            answered = ready == 1 && ::recv(fd, reply, sizeof(reply), 0) > 0;
        }
    }
    ::close(fd);
    return answered;
}

} // namespace

PresenceEnvironment PresenceEnvironment::none() {
    PresenceEnvironment environment;
    environment.systemBus.reset();
    environment.sessionBus.reset();
    environment.askX11 = false;
    environment.askWayland = false;
    return environment;
}

bool PresenceMonitor::busAnswers(const QString& address, std::chrono::milliseconds patience) {
    bool anyTried = false;
    for (const QString& entry : address.split(u';', Qt::SkipEmptyParts)) {
        if (const auto socket = unixSocket(entry)) {
            anyTried = true;
            if (socketAnswers(*socket, patience)) {
                return true;
            }
        }
    }
    return !anyTried;
}

// Whom a bus opener hands its connection to: nobody once the monitor is gone.
struct PresenceMonitor::Openers {
    std::mutex mutex;
    PresenceMonitor* monitor = nullptr;
};

PresenceMonitor::PresenceMonitor(const PresenceEnvironment& environment, BreakControls& breaks,
                                 MonotonicClock clock, TimerFactory timers, QObject* parent)
    : QObject(parent), m_openers(std::make_shared<Openers>()), m_patience(environment.busPatience),
      m_timers(timers) {
    m_openers->monitor = this;
    m_session = new SessionWatcher(this);
    m_idle = new IdleTime(environment.askX11, environment.askWayland, this);
    PresenceQuestions questions;
    if (environment.idleMs) {
        questions.askIdle = [idle = environment.idleMs](auto answer) {
            answer(idle());
        };
    } else if (environment.sessionBus || environment.askX11 || environment.askWayland) {
        questions.askIdle = [idle = m_idle](std::function<void(std::optional<qint64>)> answer) {
            idle->query(std::move(answer));
        };
    }
    if (environment.keyboardHeld) {
        questions.askKeyboardHeld = environment.keyboardHeld;
    } else if (environment.askX11) {
        questions.askKeyboardHeld = [idle = m_idle] {
            return idle->keyboardHeldElsewhere();
        };
    }
    if (environment.systemBus) {
        questions.askSleeping = [session = m_session] {
            session->readSleeping();
        };
    }
    m_policy = std::make_unique<PresencePolicy>(breaks, std::move(questions), std::move(clock),
                                                std::move(timers));
    m_policy->setAwaySeconds(environment.awaySeconds);
    PresencePolicy* policy = m_policy.get();
    connect(m_session, &SessionWatcher::lockerReported, policy, &PresencePolicy::lockerReported);
    connect(m_session, &SessionWatcher::lockerLost, policy, &PresencePolicy::lockerLost);
    connect(m_session, &SessionWatcher::lockRequested, policy, &PresencePolicy::lockRequested);
    connect(m_session, &SessionWatcher::unlockRequested, policy, &PresencePolicy::unlockRequested);
    connect(m_session, &SessionWatcher::sleepReported, policy, &PresencePolicy::sleepReported);
    connect(m_idle, &IdleTime::sourcesChanged, policy, &PresencePolicy::idleSourceChanged);

    m_buses[int(Bus::system)].address = environment.systemBus;
    m_buses[int(Bus::session)].address = environment.sessionBus;
    openBus(Bus::system);
    openBus(Bus::session);
}

PresenceMonitor::~PresenceMonitor() {
    // Openers still at work finish on their own and hand their connection to nobody; a
    // result already posted to this object goes with it.
    {
        const std::lock_guard lock(m_openers->mutex);
        m_openers->monitor = nullptr;
    }
    // The policy goes first: its signs come from the watchers.
    m_policy.reset();
}

QString PresenceMonitor::loginSession() const {
    return m_session->sessionPath();
}

void PresenceMonitor::openBus(Bus which) {
    BusState& state = m_buses[int(which)];
    if (!state.address || state.opening) {
        return;
    }
    state.opening = true;
    // The first time the user's bus is Qt's own (the tray's too); after that Qt's is dead
    // for good, and a connection of our own takes its place.
    QString name;
    if (state.opened) {
        name = QStringLiteral("quorvel-presence-%1:%2").arg(++m_connections).arg(*state.address);
    } else if (!state.address->isEmpty()) {
        name = QStringLiteral("quorvel-presence:") + *state.address;
    }
    std::thread([openers = m_openers, address = *state.address, which, name,
                 patience = m_patience] {
        const QString tried = address.isEmpty() ? userBusAddress(which == Bus::system) : address;
        std::optional<QDBusConnection> connection;
        // No bus, or a hung one: presence does without (for now).
        if (busAnswers(tried, patience)) {
            {
                const std::lock_guard lock(openers->mutex);
                if (openers->monitor == nullptr) {
                    return;
                }
            }
            connection = !name.isEmpty()        ? QDBusConnection::connectToBus(tried, name)
                         : which == Bus::system ? QDBusConnection::systemBus()
                                                : QDBusConnection::sessionBus();
        }
        const std::lock_guard lock(openers->mutex);
        if (PresenceMonitor* monitor = openers->monitor) {
            QMetaObject::invokeMethod(
                monitor, [monitor, which, connection] { monitor->busOpened(which, connection); },
                Qt::QueuedConnection);
        }
    }).detach();
    state.connectionName = name;
}

void PresenceMonitor::busOpened(Bus which, const std::optional<QDBusConnection>& connection) {
    BusState& state = m_buses[int(which)];
    state.opening = false;
    if (!connection || !connection->isConnected()) {
        if (!state.connectionName.isEmpty()) {
            QDBusConnection::disconnectFromBus(state.connectionName);
        }
        return; // tried again by the reconnect timer, if the bus was there before
    }
    const bool again = state.opened;
    state.opened = true;
    state.reconnect.reset();
    QDBusConnection bus = *connection;
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                which == Bus::system ? SLOT(systemBusLost()) : SLOT(sessionBusLost()));
    if (again) {
        qCInfo(lcPresence, "%s bus back: everything is read again",
               which == Bus::system ? "system" : "session");
    }
    if (which == Bus::system) {
        m_session->setSystemBus(bus);
    } else {
        m_session->setSessionBus(bus);
        m_idle->setSessionBus(bus);
    }
}

void PresenceMonitor::systemBusLost() {
    busLost(Bus::system);
}

void PresenceMonitor::sessionBusLost() {
    busLost(Bus::session);
}

void PresenceMonitor::busLost(Bus which) {
    BusState& state = m_buses[int(which)];
    if (state.reconnect) {
        return;
    }
    qCInfo(lcPresence, "%s bus gone: connecting again every %d s",
           which == Bus::system ? "system" : "session", reconnectSeconds);
    if (which == Bus::system) {
        m_session->dropSystemBus();
    } else {
        m_session->dropSessionBus();
        m_idle->setSessionBus(QDBusConnection(QStringLiteral("quorvel-no-bus")));
    }
    if (!state.connectionName.isEmpty()) {
        QDBusConnection::disconnectFromBus(state.connectionName);
    }
    state.reconnect =
        m_timers(std::chrono::seconds(reconnectSeconds), true, [this, which] { openBus(which); });
}

} // namespace quorvel
