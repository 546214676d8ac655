#include "common/TimerFactory.h"

#include <QBasicTimer>
#include <QPointer>
#include <QTimerEvent>
#include <algorithm>
#include <limits>
#include <map>
#include <utility>

namespace quorvel {

namespace {

// A timer that calls its handler from the timer event itself: the event loop wakes and turns
// once per timeout, with nothing posted in between. The handler may destroy the timer (its
// handle): it is not touched after that, and a timeout that was due goes with it.
class EventLoopTimer : public QObject {
public:
    EventLoopTimer(int ms, Qt::TimerType type, bool repeating, std::function<void()> onTimeout)
        : m_repeating(repeating), m_onTimeout(std::move(onTimeout)) {
        m_timer.start(ms, type, this);
    }

protected:
    void timerEvent(QTimerEvent* event) override {
        if (event->timerId() != m_timer.timerId()) {
            QObject::timerEvent(event);
            return;
        }
        if (!m_repeating) {
            m_timer.stop();
        }
        const QPointer<EventLoopTimer> self(this);
        std::function<void()> onTimeout = std::exchange(m_onTimeout, {});
        onTimeout();
        if (self) {
            self->m_onTimeout = std::move(onTimeout);
        }
    }

private:
    QBasicTimer m_timer;
    bool m_repeating;
    std::function<void()> m_onTimeout;
};

// The one tick and the timers riding on it. It runs while any does.
class SecondTick : public std::enable_shared_from_this<SecondTick> {
public:
    explicit SecondTick(TimerFactory timers) : m_timers(std::move(timers)) {}

    TimerHandle join(std::function<void()> onTimeout);
    void leave(quint64 id) {
        m_riders.erase(id);
        if (m_riders.empty()) {
            m_tick.reset();
        }
    }

private:
    void fire() {
        // A rider may leave, or another join, while they are called: each is kept alive while
        // it runs, and one that joins now first fires at the next tick. Nothing is allocated.
        const quint64 joinedBefore = m_nextId;
        for (auto it = m_riders.begin(); it != m_riders.end() && it->first < joinedBefore;) {
            const quint64 id = it->first;
            const std::shared_ptr<const std::function<void()>> onTimeout = it->second;
            (*onTimeout)();
            it = m_riders.upper_bound(id);
        }
    }

    TimerFactory m_timers;
    TimerHandle m_tick;
    std::map<quint64, std::shared_ptr<const std::function<void()>>> m_riders;
    quint64 m_nextId = 0;
};

// One rider's handle: gone, it leaves the tick.
class Rider : public QObject {
public:
    Rider(std::weak_ptr<SecondTick> tick, quint64 id) : m_tick(std::move(tick)), m_id(id) {}
    ~Rider() override {
        if (auto tick = m_tick.lock()) {
            tick->leave(m_id);
        }
    }

private:
    std::weak_ptr<SecondTick> m_tick;
    quint64 m_id;
};

TimerHandle SecondTick::join(std::function<void()> onTimeout) {
    const quint64 id = m_nextId++;
    m_riders.emplace(id, std::make_shared<const std::function<void()>>(std::move(onTimeout)));
    if (!m_tick) {
        m_tick = m_timers(std::chrono::seconds(1), true, [weak = weak_from_this()] {
            if (auto tick = weak.lock()) {
                tick->fire();
            }
        });
    }
    return std::make_unique<Rider>(weak_from_this(), id);
}

} // namespace

TimerFactory eventLoopTimers() {
    return [](std::chrono::milliseconds interval, bool repeating,
              std::function<void()> onTimeout) -> TimerHandle {
        const auto ms = std::clamp<std::chrono::milliseconds::rep>(interval.count(), 0,
                                                                   std::numeric_limits<int>::max());
        // A repeating timer of a second or more (the countdowns' tick) need not be exact to
        // the millisecond: coarse, it may fire up to 5 % late, lined up with other timers.
        const Qt::TimerType type =
            repeating && interval >= std::chrono::seconds(1) ? Qt::CoarseTimer : Qt::PreciseTimer;
        return std::make_unique<EventLoopTimer>(static_cast<int>(ms), type, repeating,
                                                std::move(onTimeout));
    };
}

TimerFactory sharedSecondTicks(TimerFactory timers) {
    if (!timers) {
        timers = eventLoopTimers();
    }
    auto tick = std::make_shared<SecondTick>(timers);
    return [tick, timers = std::move(timers)](std::chrono::milliseconds interval, bool repeating,
                                              std::function<void()> onTimeout) -> TimerHandle {
        if (repeating && interval == std::chrono::seconds(1)) {
            return tick->join(std::move(onTimeout));
        }
        return timers(interval, repeating, std::move(onTimeout));
    };
}

} // namespace quorvel
