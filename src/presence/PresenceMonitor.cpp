#include "presence/PresenceMonitor.h"

#include "presence/IdleTime.h"
#include "presence/SessionWatcher.h"

#include <algorithm>
#include <chrono>

namespace quorvel {

PresenceEnvironment PresenceEnvironment::none() {
    PresenceEnvironment environment;
    environment.systemBus = [] {
        return QDBusConnection(QStringLiteral("quorvel-no-bus"));
    };
    environment.sessionBus = environment.systemBus;
    environment.askX11 = false;
    return environment;
}

PresenceMonitor::PresenceMonitor(const PresenceEnvironment& environment, Clock clock,
                                 TimerFactory timers, QObject* parent)
    : QObject(parent), m_clock(std::move(clock)), m_timers(std::move(timers)) {
    const QDBusConnection sessionBus = environment.sessionBus();
    m_session = new SessionWatcher(environment.systemBus(), sessionBus, this);
    m_idle = new IdleTime(sessionBus, environment.askX11, this);
    connect(m_session, &SessionWatcher::changed, this, &PresenceMonitor::sessionChanged);
}

PresenceMonitor::~PresenceMonitor() = default;

bool PresenceMonitor::isLocked() const {
    return m_session->isLocked();
}

QString PresenceMonitor::loginSession() const {
    return m_session->sessionPath();
}

bool PresenceMonitor::isAsleep() const {
    return m_session->isAsleep();
}

void PresenceMonitor::sessionChanged() {
    const bool pausedNow = m_session->isLocked() || m_session->isAsleep();
    if (pausedNow && !m_pausedSince) {
        m_pausedSince = m_clock();
        updatePolling();
        Q_EMIT paused();
    } else if (!pausedNow && m_pausedSince) {
        const double seconds = static_cast<double>(m_pausedSince->msecsTo(m_clock())) / 1000.0;
        const bool breakTaken = m_away || seconds >= static_cast<double>(awayResetSeconds);
        m_pausedSince.reset();
        m_away = false; // unlocking is coming back
        Q_EMIT resumed(breakTaken);
        updatePolling();
    }
}

void PresenceMonitor::setIdleWatched(bool watched) {
    m_idleWatched = watched;
    updatePolling();
}

void PresenceMonitor::updatePolling() {
    const bool wanted = m_idleWatched && !isPaused() && m_idle->canAnswer();
    if (wanted == m_polling) {
        return;
    }
    m_polling = wanted;
    if (wanted) {
        pollIdle();
    } else {
        ++m_poll;
        m_pollTimer.reset();
        m_idleSeconds.reset(); // an old answer says nothing about later
    }
}

void PresenceMonitor::pollIdle() {
    const quint64 poll = ++m_poll;
    m_pollTimer.reset();
    m_idle->query([this, poll](std::optional<qint64> ms) { idleAnswered(poll, ms); });
}

void PresenceMonitor::idleAnswered(quint64 poll, std::optional<qint64> ms) {
    if (poll != m_poll) {
        return;
    }
    if (!ms) {
        // Perhaps the desktop is still starting: ask again after a while.
        m_idleSeconds.reset();
        schedulePoll(awayResetSeconds);
        Q_EMIT idleSecondsChanged(m_idleSeconds);
        return;
    }
    m_idleSeconds = std::max<qint64>(*ms, 0) / 1000;
    evaluate();
    // Until away, the next answer that could say so; once away, soon enough to notice
    // the user is back.
    schedulePoll(m_away ? awayIdlePollSeconds
                        : std::max(minIdlePollSeconds, awayResetSeconds - *m_idleSeconds));
    Q_EMIT idleSecondsChanged(m_idleSeconds);
}

void PresenceMonitor::schedulePoll(qint64 seconds) {
    const quint64 poll = m_poll;
    m_pollTimer = m_timers(std::chrono::seconds(seconds), false, [this, poll] {
        if (poll == m_poll) {
            pollIdle();
        }
    });
}

void PresenceMonitor::postureStatusSeen(PostureStatus status) {
    m_watchingDesk = status != PostureStatus::notMonitoring;
    const bool nobody = status == PostureStatus::noPersonDetected;
    if (nobody && !m_nobodySeen) {
        m_nobodyTimer = m_timers(std::chrono::seconds(awayResetSeconds), false, [this] {
            m_nobodyLongEnough = true;
            evaluate();
        });
    } else if (!nobody) {
        m_nobodyTimer.reset();
        m_nobodyLongEnough = false;
    }
    m_nobodySeen = nobody;
    evaluate();
}

void PresenceMonitor::evaluate() {
    if (isPaused()) {
        return;
    }
    const bool personSeen = m_watchingDesk && !m_nobodySeen;
    const bool inputSeen = m_idleSeconds && *m_idleSeconds < awayResetSeconds;
    const bool cameraSaysAway = m_watchingDesk && m_nobodyLongEnough;
    const bool inputSaysAway = m_idleSeconds && *m_idleSeconds >= awayResetSeconds;
    if (personSeen || inputSeen) {
        if (m_away) {
            m_away = false;
            Q_EMIT returned();
        }
    } else if (!m_away && (cameraSaysAway || inputSaysAway)) {
        m_away = true;
        Q_EMIT awayReached();
    }
}

} // namespace quorvel
