#pragma once

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
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}
inline QDateTime utcTime(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

// JSON written with ' for " (moc cannot read raw string literals with braces).
inline QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

// One event as the log file spells it.
inline QByteArray eventJson(const PostureEvent& e) {
    return json("{'id':'") + postureLogFormat::formatUuid(e.id) + json("','startedAt':'") +
           postureLogFormat::formatInternetDateTime(e.startedAt) + json("','duration':") +
           postureLogFormat::formatNumber(e.duration) + "}";
}

// A whole log file holding these events.
inline QByteArray logFile(const QList<PostureEvent>& events) {
    QByteArrayList parts;
    for (const PostureEvent& e : events) {
        parts.append(eventJson(e));
    }
    return "[" + parts.join(',') + "]";
}

} // namespace quorvel::test
