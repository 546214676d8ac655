#pragma once

#include "common/Clock.h"
#include "common/OverlayRequests.h"
#include "common/TimerFactory.h"
#include "posture/PostureModels.h"

#include <QDateTime>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <array>
#include <functional>
#include <optional>

namespace quorvel {

Q_DECLARE_LOGGING_CATEGORY(presenceLog)

// Why Quorvel holds still.
enum class PauseReason { locked, asleep };
// "Paused while the screen is locked", "Paused while the computer sleeps".
QString pauseReasonText(PauseReason reason);

// Who says the screen is locked: lockers report it themselves (logind's LockedHint, which
// GNOME's and KDE's lockers set; the screen savers' ActiveChanged on the session bus).
enum class Locker { logindHint, freedesktopSaver, gnomeSaver };

// What presence does to the break reminders; the application carries it out.
class BreakControls {
public:
    virtual ~BreakControls() = default;
    // The countdowns stop where they are, go on from there, or start over at full length.
    virtual void holdCountdowns() = 0;
    virtual void continueCountdowns() = 0;
    virtual void restartCountdowns() = 0;
    // Takes down every break reminder's overlay, on screen or waiting; gives their kinds.
    virtual QList<OverlayType> withdrawBreakOverlays() = 0;
    virtual void showBreakOverlay(OverlayType type) = 0;
};

// How the policy asks for what it does not get told.
struct PresenceQuestions {
    // Milliseconds since the last keyboard or pointer input, answered now or later on the
    // main thread; nothing when unknown. Empty: nobody can tell.
    std::function<void(std::function<void(std::optional<qint64>)>)> askIdle;
    // Read again whether the computer is going to sleep; the answer comes as sleepReported().
    std::function<void()> askSleeping;
    // Whether a screen locker holds the keyboard now (X11 lockers keep it grabbed); nothing
    // when nobody can tell. Empty: nobody can.
    std::function<std::optional<bool>()> askKeyboardHeld;
};

// Whether the user is at the computer, from the signs the desktop and the camera give, and
// what follows for the reminders. No bus here: the signs are handed in.
//
// Paused: locked or asleep. A lock request (logind's Lock, as `loginctl lock-session`, the
// lid switch or xss-lock send it) pauses at once; a locker's own report keeps the pause
// until the locker says it is unlocked. A pause that no locker confirms (a request, a sleep)
// also ends at the first input after it began: the idle time falls between two answers;
// not while another program holds the keyboard, as an X11 locker that tells nobody does
// (that input was the password). So does a pause that only logind's LockedHint keeps once a
// screen saver contradicts it (says it is not active, or leaves the bus: the locker that set
// the hint crashed, or the hint was stale from the start): the hint can outlive its locker.
// An action in Quorvel's own panel ends any pause. An end that the desktop reports waits
// settleSeconds for a lock that takes it back, so a storm of signals pauses once; after a
// sleep, wakeSettleSeconds (input too), for lockers that lock a few seconds after the wake.
// Locked or asleep, every break overlay goes and the countdowns hold; one that was on screen
// or waiting comes back after a pause shorter than awaySeconds(), and after a longer one
// the countdowns start over.
//
// Away, while unlocked: neither input nor the camera has seen the user for awaySeconds()
// (the camera counts while it watches; a sign that cannot tell leaves it to the other).
// Break overlays go, countdowns hold, and when input, a person in view or a panel action
// shows the user back, the countdowns start over.
//
// Main thread only.
class PresencePolicy : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 defaultAwaySeconds = 300;
    static constexpr qint64 minIdlePollSeconds = 10;
    // How often input is asked about while it is awaited: away, or in an unconfirmed pause.
    static constexpr qint64 awaitingIdlePollSeconds = 15;
    static constexpr qint64 settleSeconds = 3;
    static constexpr qint64 wakeSettleSeconds = 15;
    // How much less than the time between two answers the idle time may grow (the answers'
    // own delays) before that counts as input.
    static constexpr qint64 idleToleranceMs = 1000;
    static constexpr qint64 sleepCheckSeconds = 30;

    // `clock` measures every length of time here (pauses, time out of the camera's view).
    PresencePolicy(BreakControls& breaks, PresenceQuestions questions, MonotonicClock clock,
                   TimerFactory timers, QObject* parent = nullptr);
    ~PresencePolicy() override;

    // Signs.
    void lockerReported(Locker locker, bool locked);
    // The locker can no longer be heard (its bus went away). A pause it vouched for holds,
    // unconfirmed: input ends it.
    void lockerLost(Locker locker);
    void lockRequested();
    void unlockRequested();
    void sleepReported(bool asleep);
    // Whether the camera watches the desk now (monitoring runs and delivers verdicts).
    void setCameraWatching(bool watching);
    void postureSeen(PostureStatus status);
    void userActed();
    // Whether a break countdown runs; input is asked about only while one does (or while a
    // pause waits for it).
    void setRemindersRunning(bool running);
    // Someone may now answer about input who could not before.
    void idleSourceChanged();

    // How long without the user counts as away, and a pause as a break; set before any sign.
    void setAwaySeconds(qint64 seconds) { m_awaySeconds = seconds; }
    qint64 awaySeconds() const { return m_awaySeconds; }

    bool isPaused() const { return m_pausedSince.has_value(); }
    bool isAway() const { return m_away; }
    std::optional<PauseReason> pauseReason() const;
    // The last answer about input, in seconds; nothing when unknown.
    std::optional<qint64> idleSeconds() const;

Q_SIGNALS:
    void paused();
    void resumed(bool breakTaken);
    void pauseReasonChanged(std::optional<quorvel::PauseReason> reason);
    void awayReached();
    void returned();
    // Each answer about input, once acted on.
    void idleSecondsChanged(std::optional<qint64> seconds);

private:
    bool wantsPause() const;
    bool confirmed() const;
    bool saverSays(bool locked) const;
    bool lockerHoldsKeyboard() const;
    bool hintCounts() const;
    void evaluateLock(bool byTheUser);
    void updateReason();
    void enterPause();
    void leavePause();
    void evaluateAway();
    void comeBack();
    void updatePolling();
    void pollIdle();
    void idleAnswered(quint64 poll, std::optional<qint64> ms);
    void schedulePoll(qint64 seconds);
    void scheduleCameraCheck();
    void updateSleepChecks();

    BreakControls& m_breaks;
    PresenceQuestions m_questions;
    MonotonicClock m_clock;
    TimerFactory m_timers;

    // Lock signs.
    bool m_requested = false;
    // What each locker last said; nothing while it has said nothing.
    std::array<std::optional<bool>, 3> m_lockers{};
    // Input ended a pause that logind's hint still claims: the hint no longer counts until it
    // has said "unlocked".
    bool m_hintOverruled = false;
    bool m_sleptInPause = false; // the pause went through a sleep: its end settles longer
    bool m_asleep = false;
    std::optional<PauseReason> m_reason;
    std::optional<std::chrono::milliseconds> m_pausedSince;
    TimerHandle m_settle;
    TimerHandle m_sleepCheck;
    QList<OverlayType> m_owed; // break overlays a short pause took away

    // Away.
    qint64 m_awaySeconds = defaultAwaySeconds;
    bool m_away = false;
    bool m_remindersRunning = false;
    std::optional<qint64> m_idleMs;
    std::optional<qint64> m_previousIdleMs; // the answer before, within this stretch
    std::optional<std::chrono::milliseconds> m_idleAnsweredAt; // when the last answer came
    bool m_sleptSinceAnswer = false;
    quint64 m_poll = 0; // moves on with every poll scheduled or stopped
    bool m_polling = false;
    TimerHandle m_pollTimer;
    bool m_cameraWatching = false;
    std::chrono::milliseconds m_lastPersonSeen{0};
    TimerHandle m_cameraCheck;
};

} // namespace quorvel
