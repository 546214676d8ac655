#pragma once

#include <QDateTime>
#include <QTimeZone>
#include <QtGlobal>
#include <functional>

namespace quorvel {

// Where components read "now". Injected so tests can drive time without waiting.
using Clock = std::function<QDateTime()>;

inline Clock systemClock() {
    return [] {
        return QDateTime::currentDateTimeUtc();
    };
}

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
