#pragma once

#include "common/Clock.h"
#include "stats/PostureEvent.h"

#include <QByteArray>
#include <QDateTime>
#include <ctime>

namespace quorvel::test {

// Switches this process's local time zone (POSIX rules, so no zone database is needed).
inline void setLocalTimeZone(const char* posixRule) {
    qputenv("TZ", posixRule);
    tzset();
}
inline constexpr const char* berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
inline constexpr const char* newYork = "EST5EDT,M3.2.0,M11.1.0";

inline QDateTime local(int y, int mo, int d, int h, int mi, int s = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}
inline QDateTime utcTime(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
    return utcDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

// JSON written with ' for " (moc cannot read raw string literals with braces).
inline QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

// A whole log file holding these events, as Quorvel writes it.
inline QByteArray logFile(const QList<PostureEvent>& events) {
    return postureLogFormat::encode(events);
}

} // namespace quorvel::test
