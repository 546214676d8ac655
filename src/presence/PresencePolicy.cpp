#include "presence/PresencePolicy.h"

#include "presence/PresenceLogging.h"

#include <QCoreApplication>
#include <QPointer>
#include <algorithm>
#include <chrono>

namespace quorvel {

namespace {
std::chrono::milliseconds seconds(qint64 s) {
    return std::chrono::seconds(s);
}
} // namespace

QString pauseReasonText(PauseReason reason) {
    return reason == PauseReason::asleep
               ? QCoreApplication::translate("PauseReason", "Paused while the computer sleeps")
               : QCoreApplication::translate("PauseReason", "Paused while the screen is locked");
}

PresencePolicy::PresencePolicy(BreakControls& breaks, PresenceQuestions questions,
                               MonotonicClock clock, TimerFactory timers, QObject* parent)
    : QObject(parent), m_breaks(breaks), m_questions(std::move(questions)),
      m_clock(std::move(clock)), m_timers(std::move(timers)) {}

PresencePolicy::~PresencePolicy() = default;

std::optional<PauseReason> PresencePolicy::pauseReason() const {
    return m_reason;
}

std::optional<qint64> PresencePolicy::idleSeconds() const {
    return m_idleMs ? std::optional<qint64>(*m_idleMs / 1000) : std::nullopt;
}

bool PresencePolicy::saverSays(bool locked) const {
    for (Locker saver : {Locker::freedesktopSaver, Locker::gnomeSaver}) {
        if (m_lockers[static_cast<size_t>(saver)] == locked) {
            return true;
        }
    }
    return false;
}

bool PresencePolicy::hintCounts() const {
    return m_lockers[static_cast<size_t>(Locker::logindHint)] == true && !m_hintOverruled;
}

// A locker vouches for the pause: input (the password typed into it) does not end it.
bool PresencePolicy::confirmed() const {
    return saverSays(true) || (hintCounts() && !saverSays(false));
}

bool PresencePolicy::wantsPause() const {
    return m_requested || m_asleep || saverSays(true) || hintCounts();
}

// ---- Locked and asleep ----

void PresencePolicy::lockerReported(Locker locker, bool locked) {
    m_lockers[static_cast<size_t>(locker)] = locked;
    if (locker == Locker::logindHint && !locked) {
        m_hintOverruled = false;
    }
    if (locked) {
        m_sleptInPause = false; // the session has settled, into a lock
        m_requested = false;    // the request is answered: the locker now says when it ends
    }
    evaluateLock(false);
}

void PresencePolicy::lockerLost(Locker locker) {
    std::optional<bool>& word = m_lockers[static_cast<size_t>(locker)];
    if (word != true) {
        return; // "not locked" stands until it is heard again
    }
    if (isPaused()) {
        m_requested = true;
    }
    word.reset();
    if (locker == Locker::logindHint) {
        m_hintOverruled = false;
    }
    evaluateLock(false);
}

void PresencePolicy::lockRequested() {
    m_requested = true;
    evaluateLock(false);
}

void PresencePolicy::unlockRequested() {
    m_requested = false;
    evaluateLock(false);
}

void PresencePolicy::sleepReported(bool asleep) {
    m_asleep = asleep;
    m_sleptSinceAnswer = m_sleptSinceAnswer || asleep;
    m_sleptInPause = m_sleptInPause || asleep;
    evaluateLock(false);
}

void PresencePolicy::userActed() {
    // Someone pressing a button in the panel is at the computer, whatever was said before.
    m_requested = false;
    m_asleep = false;
    m_lockers.fill(std::nullopt);
    m_hintOverruled = false;
    if (isPaused()) {
        evaluateLock(true);
    } else {
        comeBack();
    }
}

bool PresencePolicy::lockerHoldsKeyboard() const {
    return m_questions.askKeyboardHeld && m_questions.askKeyboardHeld().value_or(false);
}

void PresencePolicy::evaluateLock(bool atOnce) {
    if (wantsPause()) {
        m_settle.reset(); // a lock always wins
        if (!isPaused()) {
            enterPause();
        }
    } else if (isPaused()) {
        if (atOnce) {
            leavePause();
        } else if (!m_settle) {
            // After a sleep the session takes a while to settle: lockers that lock on waking
            // do it a few seconds after it, and the camera should not come on in between.
            m_settle = m_timers(seconds(m_sleptInPause ? wakeSettleSeconds : settleSeconds), false,
                                [this] {
                                    m_settle.reset();
                                    evaluateLock(true);
                                });
        }
    }
    updateReason();
    updatePolling();
    updateSleepChecks();
}

void PresencePolicy::updateReason() {
    // While a resume settles, the pause keeps the reason it had.
    const std::optional<PauseReason> reason = !isPaused() ? std::nullopt
                                              : m_asleep  ? std::optional(PauseReason::asleep)
                                              : m_settle  ? m_reason
                                                          : std::optional(PauseReason::locked);
    if (reason != m_reason) {
        m_reason = reason;
        Q_EMIT pauseReasonChanged(reason);
    }
}

void PresencePolicy::enterPause() {
    qCInfo(lcPresence) << "paused" << (m_asleep ? "asleep" : "locked")
                       << (confirmed() ? "by the locker" : "unconfirmed");
    m_pausedSince = m_clock();
    m_cameraCheck.reset();
    for (OverlayType type : m_breaks.withdrawBreakOverlays()) {
        if (!m_owed.contains(type)) {
            m_owed.append(type);
        }
    }
    m_breaks.holdCountdowns();
    updateReason();
    Q_EMIT paused();
    // Input is compared from here on: a fresh first answer.
    m_polling = false;
    ++m_poll;
    m_pollTimer.reset();
    m_idleMs.reset();
    m_previousIdleMs.reset();
}

void PresencePolicy::leavePause() {
    const qint64 ms = (m_clock() - *m_pausedSince).count();
    const bool breakTaken = m_away || ms >= m_awaySeconds * 1000;
    qCInfo(lcPresence, "resumed after %lld s%s", ms / 1000, breakTaken ? " (a break)" : "");
    m_pausedSince.reset();
    m_settle.reset();
    m_sleptInPause = false;
    m_away = false;
    const QList<OverlayType> owed = std::exchange(m_owed, {});
    if (breakTaken) {
        m_breaks.restartCountdowns();
    } else {
        m_breaks.continueCountdowns();
        for (OverlayType type : owed) {
            m_breaks.showBreakOverlay(type);
        }
    }
    m_lastPersonSeen = m_clock(); // the camera starts watching afresh
    m_polling = false;
    ++m_poll;
    m_pollTimer.reset();
    m_idleMs.reset();
    m_previousIdleMs.reset();
    Q_EMIT resumed(breakTaken);
    scheduleCameraCheck();
}

void PresencePolicy::updateSleepChecks() {
    // logind's PrepareForSleep(false) can be lost: ask again now and then. Timers stand
    // still while the computer sleeps, so the first ask comes soon after waking.
    if (isPaused() && m_asleep && m_questions.askSleeping) {
        if (!m_sleepCheck) {
            m_sleepCheck = m_timers(seconds(sleepCheckSeconds), true, m_questions.askSleeping);
        }
    } else {
        m_sleepCheck.reset();
    }
}

// ---- Away while unlocked ----

void PresencePolicy::setRemindersRunning(bool running) {
    m_remindersRunning = running;
    updatePolling();
}

void PresencePolicy::setCameraWatching(bool watching) {
    if (watching && !m_cameraWatching) {
        m_lastPersonSeen = m_clock();
    }
    m_cameraWatching = watching;
    scheduleCameraCheck();
    evaluateAway();
}

void PresencePolicy::postureSeen(PostureStatus status) {
    if (status == PostureStatus::notMonitoring || status == PostureStatus::noPersonDetected) {
        return; // nobody in one frame is not nobody at the desk
    }
    m_lastPersonSeen = m_clock();
    comeBack();
}

void PresencePolicy::scheduleCameraCheck() {
    if (!m_cameraWatching || m_away || isPaused()) {
        m_cameraCheck.reset();
        return;
    }
    if (m_cameraCheck) {
        return;
    }
    const qint64 left = m_awaySeconds * 1000 - (m_clock() - m_lastPersonSeen).count();
    if (left > 0) {
        m_cameraCheck = m_timers(std::chrono::milliseconds(left), false, [this] {
            m_cameraCheck.reset();
            evaluateAway();
            scheduleCameraCheck();
        });
    }
}

void PresencePolicy::evaluateAway() {
    if (isPaused() || m_away) {
        return;
    }
    const bool inputKnown = m_idleMs.has_value();
    if (!inputKnown && !m_cameraWatching) {
        return; // nobody can tell
    }
    if ((inputKnown && *m_idleMs < m_awaySeconds * 1000) ||
        (m_cameraWatching && (m_clock() - m_lastPersonSeen).count() < m_awaySeconds * 1000)) {
        return;
    }
    qCInfo(lcPresence) << "away: input idle for" << (inputKnown ? *m_idleMs / 1000 : -1)
                       << "s, nobody in view for"
                       << (m_cameraWatching ? (m_clock() - m_lastPersonSeen).count() / 1000 : -1)
                       << "s";
    m_away = true;
    m_cameraCheck.reset();
    m_breaks.withdrawBreakOverlays();
    m_breaks.holdCountdowns();
    Q_EMIT awayReached();
    if (m_polling) {
        schedulePoll(awaitingIdlePollSeconds);
    }
}

void PresencePolicy::comeBack() {
    if (!m_away || isPaused()) {
        return;
    }
    qCInfo(lcPresence) << "back";
    m_away = false;
    // The last answer about input is from before the user came back (by a panel action, or
    // into the camera's view): on its own it would send them away again at the next look.
    m_idleMs.reset();
    m_previousIdleMs.reset();
    m_breaks.restartCountdowns();
    Q_EMIT returned();
    scheduleCameraCheck();
}

// ---- Asking about input ----

void PresencePolicy::idleSourceChanged() {
    if (m_polling) {
        pollIdle();
    } else {
        updatePolling();
    }
}

void PresencePolicy::updatePolling() {
    const bool wanted = m_questions.askIdle && (isPaused() ? !confirmed() : m_remindersRunning);
    if (wanted == m_polling) {
        return;
    }
    m_polling = wanted;
    if (wanted) {
        pollIdle();
    } else {
        ++m_poll;
        m_pollTimer.reset();
        m_idleMs.reset(); // an old answer says nothing about later
        m_previousIdleMs.reset();
    }
}

void PresencePolicy::pollIdle() {
    const quint64 poll = ++m_poll;
    m_pollTimer.reset();
    m_questions.askIdle([weak = QPointer(this), poll](std::optional<qint64> ms) {
        if (weak) {
            weak->idleAnswered(poll, ms);
        }
    });
}

void PresencePolicy::idleAnswered(quint64 poll, std::optional<qint64> ms) {
    if (poll != m_poll) {
        return;
    }
    if (!ms) {
        // Perhaps the desktop is still starting: ask again after a while.
        m_idleMs.reset();
        m_previousIdleMs.reset();
        schedulePoll(m_awaySeconds);
        Q_EMIT idleSecondsChanged(std::nullopt);
        return;
    }
    const qint64 idleMs = std::max<qint64>(*ms, 0);
    m_previousIdleMs = m_idleMs;
    m_idleMs = idleMs;
    const std::chrono::milliseconds answeredAt = m_clock();
    const std::optional<std::chrono::milliseconds> previousAnswerAt =
        std::exchange(m_idleAnsweredAt, answeredAt);
    const bool slept = std::exchange(m_sleptSinceAnswer, m_asleep);
    // Idle time only grows until someone touches the keyboard or the pointer: input since the
    // answer before when it shrank, or grew by less than the time between the two (someone
    // typing all along answers a moment both times). Not across a sleep, which the desktop's
    // idle time does not count.
    const bool inputSince = m_previousIdleMs && (*m_idleMs < *m_previousIdleMs ||
                                                 (!slept && previousAnswerAt &&
                                                  *m_idleMs - *m_previousIdleMs + idleToleranceMs <
                                                      (answeredAt - *previousAnswerAt).count()));
    if (isPaused()) {
        if (inputSince && !confirmed()) {
            if (lockerHoldsKeyboard()) {
                // Typed into a locker that tells nobody (xss-lock with i3lock).
                qCDebug(lcPresence) << "input at a screen locker that holds the keyboard";
            } else {
                qCDebug(lcPresence) << "input during an unconfirmed pause";
                m_requested = false;
                m_asleep = false;
                m_hintOverruled = m_lockers[static_cast<size_t>(Locker::logindHint)] == true;
                evaluateLock(!m_sleptInPause);
            }
        }
    } else if (m_away) {
        if (inputSince || idleMs < m_awaySeconds * 1000) {
            comeBack();
            m_idleMs = idleMs; // this answer is no older than the return
        }
    } else {
        evaluateAway();
    }
    if (poll != m_poll || !m_polling) {
        return; // acting on it started another stretch, with its own poll
    }
    schedulePoll(isPaused() || m_away
                     ? awaitingIdlePollSeconds
                     : std::max(minIdlePollSeconds, m_awaySeconds - idleMs / 1000));
    Q_EMIT idleSecondsChanged(idleSeconds());
}

void PresencePolicy::schedulePoll(qint64 delaySeconds) {
    const quint64 poll = m_poll;
    m_pollTimer = m_timers(seconds(delaySeconds), false, [this, poll] {
        if (poll == m_poll) {
            pollIdle();
        }
    });
}

} // namespace quorvel
