#pragma once

#include <QDateTime>
#include <QTimeZone>
#include <QtGlobal>
#include <chrono>
#include <ctime>
#include <functional>

namespace quorvel {

// Where components read "now". Injected so tests can drive time without waiting.
using Clock = std::function<QDateTime()>;

inline Clock systemClock() {
    return [] {
        return QDateTime::currentDateTimeUtc();
    };
}

// Where components read time for durations, timeouts and cool-downs: it never steps when
// the wall clock is set (by hand, or by NTP), and it counts the time the computer sleeps.
using MonotonicClock = std::function<std::chrono::milliseconds()>;

inline MonotonicClock bootClock() {
    return [] {
        timespec now{};
        clock_gettime(CLOCK_BOOTTIME, &now);
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
    };
}

// Both clocks: the wall clock only stamps events and splits days; every length of time is
// measured on the monotonic one.
struct TimeSource {
    Clock wall = systemClock();
    MonotonicClock monotonic = bootClock();
};

// UTC date-times. Qt 6.5 replaced Qt::TimeSpec with QTimeZone::UTC and later Qt deprecates
// the old form, while Qt 6.4 has only the old one; both give a plain UTC date-time (ISO text
// ending in "Z"), which stored files rely on.
inline QDateTime utcDateTime(QDate date, QTime time) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return QDateTime(date, time, QTimeZone::UTC);
#else
    return QDateTime(date, time, Qt::UTC);
#endif
}

inline QDateTime utcFromMSecsSinceEpoch(qint64 msecs) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::UTC);
#else
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
#endif
}

} // namespace quorvel
