#include "stats/PostureEvent.h"

#include "common/Clock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <charconv>
#include <cmath>

namespace quorvel {

PostureEvent::PostureEvent(QDateTime start, double seconds)
    : PostureEvent(QUuid::createUuid(), std::move(start), seconds) {}

PostureEvent::PostureEvent(QUuid uuid, QDateTime start, double seconds)
    : id(uuid), startedAt(start.toUTC()), duration(nonNegativeDuration(seconds)) {}

double PostureEvent::nonNegativeDuration(double seconds) {
    return seconds <= 0.0 ? 0.0 : seconds; // NaN stays NaN, which is not storable
}

namespace {

const QDateTime& earliestStorable() {
    static const QDateTime t = utcDateTime(QDate(1, 1, 1), QTime(0, 0));
    return t;
}

const QDateTime& latestStorable() {
    static const QDateTime t = utcDateTime(QDate(9999, 12, 31), QTime(23, 59, 59, 999));
    return t;
}

} // namespace

bool PostureEvent::isStorable() const {
    return startedAt.isValid() && startedAt >= earliestStorable() &&
           startedAt <= latestStorable() && std::isfinite(duration);
}

namespace postureLogFormat {

namespace {

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// The value of text[pos, pos + count) when all of it is digits.
std::optional<int> digits(QStringView text, qsizetype pos, qsizetype count) {
    if (pos + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (qsizetype i = pos; i < pos + count; ++i) {
        if (!isDigit(text[i])) {
            return std::nullopt;
        }
        value = value * 10 + (text[i].unicode() - u'0');
    }
    return value;
}

bool charAt(QStringView text, qsizetype pos, char16_t a, char16_t b = 0) {
    return pos < text.size() && (text[pos] == a || (b != 0 && text[pos] == b));
}

} // namespace

QByteArray formatInternetDateTime(const QDateTime& instant) {
    const QDateTime utc = instant.toUTC();
    const QDate d = utc.date();
    const QTime t = utc.time();
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02dZ", d.year(), d.month(), d.day(),
                             t.hour(), t.minute(), t.second())
        .toLatin1();
}

std::optional<QDateTime> parseInternetDateTime(QStringView text) {
    // YYYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm)
    const auto year = digits(text, 0, 4);
    const auto month = digits(text, 5, 2);
    const auto day = digits(text, 8, 2);
    const auto hour = digits(text, 11, 2);
    const auto minute = digits(text, 14, 2);
    const auto second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || !charAt(text, 4, u'-') ||
        !charAt(text, 7, u'-') || !charAt(text, 10, u'T', u't') || !charAt(text, 13, u':') ||
        !charAt(text, 16, u':')) {
        return std::nullopt;
    }
    qsizetype pos = 19;
    int msec = 0;
    if (charAt(text, pos, u'.')) {
        ++pos;
        const qsizetype first = pos;
        while (pos < text.size() && isDigit(text[pos])) {
            if (pos - first < 3) {
                msec = msec * 10 + (text[pos].unicode() - u'0');
            }
            ++pos;
        }
        if (pos == first) {
            return std::nullopt;
        }
        for (qsizetype n = pos - first; n < 3; ++n) {
            msec *= 10;
        }
    }
    int offsetSeconds = 0;
    if (charAt(text, pos, u'Z', u'z')) {
        ++pos;
    } else if (charAt(text, pos, u'+', u'-')) {
        const int sign = text[pos] == u'-' ? -1 : 1;
        const auto offsetHours = digits(text, pos + 1, 2);
        const auto offsetMinutes = digits(text, pos + 4, 2);
        if (!offsetHours || !offsetMinutes || !charAt(text, pos + 3, u':') || *offsetHours > 23 ||
            *offsetMinutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = sign * (*offsetHours * 3600 + *offsetMinutes * 60);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size() || *year == 0) {
        return std::nullopt;
    }
    const QDate date(*year, *month, *day);
    const QTime time(*hour, *minute, *second, msec);
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    return utcDateTime(date, time).addSecs(-offsetSeconds);
}

QByteArray formatNumber(double value) {
    // Plain decimals up to 2^54 (and down to 0.0001), like the other writers of this file.
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude <= 0x1.0p54);
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value,
                      plain ? std::chars_format::fixed : std::chars_format::scientific);
    if (result.ec != std::errc()) {
        return QByteArrayLiteral("0");
    }
    return QByteArray(buffer, result.ptr - buffer);
}

QByteArray formatUuid(const QUuid& id) {
    return id.toByteArray(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> parseUuid(QStringView text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != u'-') {
                return std::nullopt;
            }
        } else if (!isDigit(c) && !(c >= u'a' && c <= u'f') && !(c >= u'A' && c <= u'F')) {
            return std::nullopt;
        }
    }
    const QUuid id = QUuid::fromString(text);
    // Every canonical string parses, the all-zero one included.
    return id;
}

QByteArray encode(const QList<PostureEvent>& events) {
    QByteArray out;
    out.reserve(2 + events.size() * 96);
    out += '[';
    bool first = true;
    for (const PostureEvent& event : events) {
        if (!event.isStorable()) {
            continue;
        }
        if (!first) {
            out += ',';
        }
        first = false;
        out += R"({"id":")";
        out += formatUuid(event.id);
        out += R"(","startedAt":")";
        out += formatInternetDateTime(event.startedAt);
        out += R"(","duration":)";
        out += formatNumber(event.duration);
        out += '}';
    }
    out += ']';
    return out;
}

std::optional<QList<PostureEvent>> decode(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        return std::nullopt;
    }
    const QJsonArray array = document.array();
    QList<PostureEvent> events;
    events.reserve(array.size());
    for (const QJsonValue element : array) {
        if (!element.isObject()) {
            return std::nullopt;
        }
        const QJsonObject object = element.toObject();
        const QJsonValue id = object.value(QLatin1String("id"));
        const QJsonValue startedAt = object.value(QLatin1String("startedAt"));
        const QJsonValue duration = object.value(QLatin1String("duration"));
        if (!id.isString() || !startedAt.isString() || !duration.isDouble()) {
            return std::nullopt;
        }
        const auto uuid = parseUuid(id.toString());
        const auto instant = parseInternetDateTime(startedAt.toString());
        const double seconds = duration.toDouble();
        if (!uuid || !instant || !std::isfinite(seconds)) {
            return std::nullopt;
        }
        PostureEvent event(*uuid, *instant, seconds);
        if (!event.isStorable()) { // an offset that moves it out of the years 0001 to 9999
            return std::nullopt;
        }
        events.append(std::move(event));
    }
    return events;
}

} // namespace postureLogFormat

} // namespace quorvel
