#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QStringView>
#include <QUuid>
#include <optional>

namespace quorvel {

// One slouch episode: when it began and how long it lasted.
struct PostureEvent {
    QUuid id;
    QDateTime startedAt;   // an instant; kept in UTC
    double duration = 0.0; // seconds

    PostureEvent() = default;
    // A fresh random id. A negative duration (the clock was set back during the episode)
    // counts as 0.
    PostureEvent(QDateTime start, double seconds);
    PostureEvent(QUuid uuid, QDateTime start, double seconds);

    // 0 for a negative duration (or -0), else the duration as given.
    static double nonNegativeDuration(double seconds);

    // Whether the event can be written to the log file and read back: a valid instant in the
    // years 0001 to 9999 and a finite duration.
    bool isStorable() const;

    friend bool operator==(const PostureEvent& a, const PostureEvent& b) {
        return a.id == b.id && a.startedAt == b.startedAt && a.duration == b.duration;
    }
    friend bool operator!=(const PostureEvent& a, const PostureEvent& b) { return !(a == b); }
};

// The log file's format: a compact JSON array of {"id","startedAt","duration"} objects.
namespace postureLogFormat {

// Compact JSON, keys in the order "id", "startedAt", "duration"; "[]" for no events.
// Events that are not storable are left out.
QByteArray encode(const QList<PostureEvent>& events);

// The events of a log file, or nothing when any part of it is not what `encode` writes
// (keys in any order, any white space, extra keys ignored).
std::optional<QList<PostureEvent>> decode(const QByteArray& json);

// 2024-03-05T14:07:09Z: UTC, whole seconds (the fraction is dropped, not rounded).
QByteArray formatInternetDateTime(const QDateTime& instant);
// RFC 3339 date-time: "Z" or a numeric offset, an optional fraction of a second.
std::optional<QDateTime> parseInternetDateTime(QStringView text);

// The fewest digits that read back as the same double; plain decimals for every duration
// from 0.0001 s to well beyond any lifetime, exponent notation only outside that.
QByteArray formatNumber(double value);

// Canonical 36-character form, upper case.
QByteArray formatUuid(const QUuid& id);
// Only the canonical 8-4-4-4-12 form, in either case.
std::optional<QUuid> parseUuid(QStringView text);

} // namespace postureLogFormat

} // namespace quorvel

Q_DECLARE_METATYPE(quorvel::PostureEvent)
