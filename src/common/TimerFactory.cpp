#include "common/TimerFactory.h"

#include <QTimer>
#include <algorithm>
#include <limits>

namespace quorvel {

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

} // namespace quorvel
