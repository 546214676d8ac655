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
    // How long a bus may take to answer a new connection before it counts as absent.
    std::chrono::milliseconds busPatience{5000};

    // No buses and no display: only the camera can tell that nobody is there.
    static PresenceEnvironment none();
};

// Connects the presence policy to the desktop: lock and sleep from D-Bus (SessionWatcher),
// input idleness (IdleTime). The buses are opened off the main thread, each after it has
// answered a bare connection: Qt opens every bus on its one D-Bus thread, and a bus that
// accepts connections and then answers nothing would hold all of the process's D-Bus traffic,
// the tray's included, for libdbus's 25 s. Main thread only.
class PresenceMonitor : public QObject {
    Q_OBJECT

public:
    PresenceMonitor(const PresenceEnvironment& environment, BreakControls& breaks,
                    MonotonicClock clock, TimerFactory timers, QObject* parent = nullptr);
    ~PresenceMonitor() override;

    PresencePolicy& policy() const { return *m_policy; }
    // The logind session followed ("/org/freedesktop/login1/session/..."); empty without.
    QString loginSession() const;

    // Whether `address` (a D-Bus address) answers a connection within `patience`. Addresses
    // that cannot be tried without libdbus (not unix sockets) count as answering.
    static bool busAnswers(const QString& address, std::chrono::milliseconds patience);

private:
    enum class Bus { system, session };
    void openBus(const std::optional<QString>& address, Bus bus,
                 std::chrono::milliseconds patience);
    void busOpened(Bus bus, const QDBusConnection& connection);

    SessionWatcher* m_session;
    IdleTime* m_idle;
    std::unique_ptr<PresencePolicy> m_policy;
    // Shared with the threads that open the buses, which may outlive this monitor: a bus that
    // hangs is never waited for, at quit or any other time.
    struct Openers;
    std::shared_ptr<Openers> m_openers;
};

} // namespace quorvel
