#include "reminders/ReminderTimer.h"

#include <QPointer>
#include <algorithm>
#include <chrono>

namespace quorvel {

namespace {
qint64 atLeastOneSecond(qint64 seconds) {
    return std::max<qint64>(seconds, 1);
}
} // namespace

ReminderTimer::ReminderTimer(qint64 intervalSeconds, std::function<void()> onFired,
                             TimerFactory timers, QObject* parent)
    : QObject(parent), m_intervalSeconds(atLeastOneSecond(intervalSeconds)),
      m_onFired(std::move(onFired)), m_timers(timers ? std::move(timers) : eventLoopTimers()) {}

ReminderTimer::~ReminderTimer() = default;

void ReminderTimer::start() {
    if (m_isRunning) {
        return;
    }
    setSecondsRemaining(m_intervalSeconds);
    setIsRunning(true);
    startTicking();
}

void ReminderTimer::startTicking() {
    m_isPaused = false;
    m_cancellable = m_timers(std::chrono::seconds(1), true, [weak = QPointer(this)] {
        if (weak) {
            weak->tick();
        }
    });
}

void ReminderTimer::stop() {
    m_cancellable.reset();
    m_isPaused = false;
    setIsRunning(false);
    setSecondsRemaining(0);
}

void ReminderTimer::reset() {
    setSecondsRemaining(m_intervalSeconds);
}

void ReminderTimer::updateInterval(qint64 seconds) {
    m_intervalSeconds = atLeastOneSecond(seconds);
    if (m_isRunning) {
        setSecondsRemaining(m_intervalSeconds);
    }
}

void ReminderTimer::pause() {
    if (m_isRunning && !m_isPaused) {
        m_cancellable.reset();
        m_isPaused = true;
    }
}

void ReminderTimer::resume() {
    if (m_isRunning && m_isPaused) {
        startTicking();
    }
}

void ReminderTimer::restart() {
    if (m_isRunning) {
        setSecondsRemaining(m_intervalSeconds);
        startTicking();
    }
}

QString ReminderTimer::formattedTimeRemaining() const {
    return formatTimeRemaining(m_secondsRemaining);
}

QString ReminderTimer::formatTimeRemaining(qint64 seconds) {
    return QString::asprintf("%lld:%02lld", static_cast<long long>(seconds / 60),
                             static_cast<long long>(seconds % 60));
}

void ReminderTimer::tick() {
    if (!m_isRunning || m_isPaused) {
        return;
    }
    setSecondsRemaining(m_secondsRemaining - 1);
    if (m_secondsRemaining <= 0) {
        if (m_onFired) {
            m_onFired();
        }
        // onFired may have stopped the countdown; a stopped one stays at 0.
        if (m_isRunning) {
            setSecondsRemaining(m_intervalSeconds);
        }
    }
}

void ReminderTimer::setSecondsRemaining(qint64 value) {
    Q_EMIT objectWillChange();
    Q_EMIT secondsRemainingChanged(value);
    m_secondsRemaining = value;
}

void ReminderTimer::setIsRunning(bool value) {
    Q_EMIT objectWillChange();
    Q_EMIT isRunningChanged(value);
    m_isRunning = value;
}

} // namespace quorvel
