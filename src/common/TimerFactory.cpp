#include "common/TimerFactory.h"

#include <QTimer>
#include <algorithm>
#include <limits>
#include <map>
#include <vector>

namespace quorvel {

namespace {

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
        // A rider may leave, or another join, while they are called.
        std::vector<quint64> ids;
        for (const auto& [id, rider] : m_riders) {
            ids.push_back(id);
        }
        for (quint64 id : ids) {
            if (auto it = m_riders.find(id); it != m_riders.end()) {
                const auto onTimeout = it->second;
                onTimeout();
            }
        }
    }

    TimerFactory m_timers;
    TimerHandle m_tick;
    std::map<quint64, std::function<void()>> m_riders;
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
    m_riders.emplace(id, std::move(onTimeout));
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
        auto timer = std::make_unique<QTimer>();
        const auto ms = std::clamp<std::chrono::milliseconds::rep>(interval.count(), 0,
                                                                   std::numeric_limits<int>::max());
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(!repeating);
        timer->setInterval(static_cast<int>(ms));
        // Queued, so the handler runs outside the timer's own signal and may destroy the
        // handle; destroying it also drops a call that is already queued.
        QObject::connect(timer.get(), &QTimer::timeout, timer.get(), std::move(onTimeout),
                         Qt::QueuedConnection);
        timer->start();
        return timer;
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
