#pragma once

#include "common/Clock.h"
#include "common/TimerFactory.h"
#include "posture/PostureModels.h"

#include <QDBusConnection>
#include <QDateTime>
#include <QObject>
#include <functional>
#include <optional>

namespace quorvel {

class IdleTime;
class SessionWatcher;

// Where presence looks. The defaults are the user's buses (which honour
// DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS) and, on X11, the X server.
struct PresenceEnvironment {
    std::function<QDBusConnection()> systemBus = [] {
        return QDBusConnection::systemBus();
    };
    std::function<QDBusConnection()> sessionBus = [] {
        return QDBusConnection::sessionBus();
    };
    bool askX11 = true;

    // No buses and no X server: only the camera can tell that nobody is there.
    static PresenceEnvironment none();
};

// Follows whether the user is at the computer and tells the application in its terms:
//
// - paused() when the session locks or the computer goes to sleep, resumed() when it is
//   unlocked and awake again, with whether that absence was a break (awayResetSeconds or
//   more, or it followed an absence that already was one). A second lock while locked,
//   an unlock without a lock, changes nothing.
// - While unlocked: awayReached() once an absence reaches awayResetSeconds, returned()
//   when input or a person comes back after it. Two witnesses: keyboard and pointer input
//   (asked while it matters, no more often than needed to see the absence reach
//   awayResetSeconds, and every awayIdlePollSeconds once away), and while monitoring,
//   the camera ("No person detected" without a break). The user is away when one of them
//   has seen nobody for awayResetSeconds and the other has not seen them meanwhile: input
//   while the camera sees nobody, or a person reading without touching anything, is
//   presence. A witness that cannot tell (no desktop answers about input, monitoring off)
//   counts neither way.
//
// Main thread only.
class PresenceMonitor : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 awayResetSeconds = 300;
    static constexpr qint64 minIdlePollSeconds = 10;
    static constexpr qint64 awayIdlePollSeconds = 15;

    PresenceMonitor(const PresenceEnvironment& environment, Clock clock, TimerFactory timers,
                    QObject* parent = nullptr);
    ~PresenceMonitor() override;

    bool isLocked() const;
    bool isAsleep() const;
    bool isPaused() const { return m_pausedSince.has_value(); }
    bool isAway() const { return m_away; }
    // The logind session followed ("/org/freedesktop/login1/session/..."); empty without.
    QString loginSession() const;
    // The last answer about input, in seconds; nothing when unknown.
    std::optional<qint64> idleSeconds() const { return m_idleSeconds; }

    // Input idleness is asked only while someone needs it (a reminder counts down).
    void setIdleWatched(bool watched);
    // What the camera saw; notMonitoring ends watching the desk.
    void postureStatusSeen(PostureStatus status);

Q_SIGNALS:
    void paused();
    void resumed(bool breakTaken);
    void awayReached();
    void returned();
    // Each answer about input, once acted on.
    void idleSecondsChanged(std::optional<qint64> seconds);

private:
    void sessionChanged();
    void pollIdle();
    void idleAnswered(quint64 poll, std::optional<qint64> ms);
    void schedulePoll(qint64 seconds);
    void updatePolling();
    void evaluate();

    Clock m_clock;
    TimerFactory m_timers;
    SessionWatcher* m_session;
    IdleTime* m_idle;

    std::optional<QDateTime> m_pausedSince;
    bool m_away = false;
    bool m_idleWatched = false;
    std::optional<qint64> m_idleSeconds;
    bool m_watchingDesk = false;     // monitoring delivers verdicts
    bool m_nobodySeen = false;       // the latest verdict is "No person detected"
    bool m_nobodyLongEnough = false; // ... and has been since awayResetSeconds
    // Moves on with every poll scheduled or stopped, so late answers are dropped.
    quint64 m_poll = 0;
    bool m_polling = false;
    TimerHandle m_pollTimer;
    TimerHandle m_nobodyTimer;
};

} // namespace quorvel
