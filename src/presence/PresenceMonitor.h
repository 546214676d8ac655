#pragma once

#include "common/Clock.h"
#include "common/TimerFactory.h"
#include "presence/PresencePolicy.h"

#include <QDBusConnection>
#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QThread;

namespace quorvel {

class IdleTime;
class SessionWatcher;

// Where presence looks.
struct PresenceEnvironment {
    // D-Bus addresses. Empty: the user's bus (DBUS_SYSTEM_BUS_ADDRESS or the standard system
    // socket; DBUS_SESSION_BUS_ADDRESS); nothing: no bus.
    std::optional<QString> systemBus = QString();
    std::optional<QString> sessionBus = QString();
    // Input idleness from the X server (X11 sessions) and the compositor (Wayland).
    bool askX11 = true;
    bool askWayland = true;
    // Where input idleness comes from instead of the desktop (milliseconds; nothing: unknown).
    std::function<std::optional<qint64>()> idleMs;
    // Whether a screen locker holds the keyboard, instead of asking the X server.
    std::function<std::optional<bool>()> keyboardHeld;
    // How long without the user counts as away (see PresencePolicy).
    qint64 awaySeconds = PresencePolicy::defaultAwaySeconds;
    // How long a bus may take to answer a new connection before it counts as absent.
    std::chrono::milliseconds busPatience{5000};

    // No buses and no display: only the camera can tell that nobody is there.
    static PresenceEnvironment none();
};

// Connects the presence policy to the desktop: lock and sleep from D-Bus (SessionWatcher),
// input idleness (IdleTime). The buses are opened off the main thread, each after it has
// answered a bare connection: Qt opens every bus on its one D-Bus thread, and a bus that
// accepts connections and then answers nothing would hold all of the process's D-Bus traffic,
// the tray's included, for libdbus's 25 s. A bus that goes away (it crashed, the user's bus
// was made again) is tried again every reconnectSeconds, and once back everything is read
// again. Main thread only.
class PresenceMonitor : public QObject {
    Q_OBJECT

public:
    static constexpr int reconnectSeconds = 5;

    PresenceMonitor(const PresenceEnvironment& environment, BreakControls& breaks,
                    MonotonicClock clock, TimerFactory timers, QObject* parent = nullptr);
    ~PresenceMonitor() override;

    PresencePolicy& policy() const { return *m_policy; }
    // The logind session followed ("/org/freedesktop/login1/session/..."); empty without.
    QString loginSession() const;

    // Whether `address` (a D-Bus address) answers a connection within `patience`. Addresses
    // that cannot be tried without libdbus (not unix sockets) count as answering.
    static bool busAnswers(const QString& address, std::chrono::milliseconds patience);

private Q_SLOTS:
    void systemBusLost();
    void sessionBusLost();

private:
    enum class Bus { system, session };
    void openBus(Bus bus);
    void busOpened(Bus bus, const std::optional<QDBusConnection>& connection);
    void busLost(Bus bus);

    SessionWatcher* m_session;
    IdleTime* m_idle;
    std::unique_ptr<PresencePolicy> m_policy;
    // Shared with the threads that open the buses, which may outlive this monitor: a bus that
    // hangs is never waited for, at quit or any other time.
    struct Openers;
    std::shared_ptr<Openers> m_openers;
    struct BusState {
        std::optional<QString> address; // as given: empty for the user's bus
        bool opening = false;
        bool opened = false;    // at least once: later connections are our own
        QString connectionName; // of a connection this monitor made
        TimerHandle reconnect;
    };
    BusState m_buses[2];
    std::chrono::milliseconds m_patience;
    TimerFactory m_timers;
    quint64 m_connections = 0;
};

} // namespace quorvel
