#include "stats/PostureLog.h"

#include "stats/StatsLogging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <unistd.h>

namespace quorvel {

PostureLog::PostureLog(QObject* parent) : PostureLog(defaultFilePath(), systemClock(), parent) {}

PostureLog::PostureLog(const QString& filePath, Clock clock, QObject* parent)
    : QObject(parent), m_filePath(filePath), m_clock(std::move(clock)) {
    if (!m_filePath.isEmpty()) {
        // A failure shows up as a missing file now and as failed saves later.
        QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    }
    m_events = loadFromDisk();
}

QString PostureLog::defaultFilePath() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty()) {
        return {};
    }
    return data + QStringLiteral("/Quorvel/posture-log.json");
}

void PostureLog::record(const PostureEvent& event) {
    if (!event.isStorable()) {
        qCWarning(lcStats) << "an event that cannot be stored was not recorded";
        return;
    }
    QList<PostureEvent> updated = m_events;
    updated.append(event);
    updated.last().duration = PostureEvent::nonNegativeDuration(event.duration);
    updated = pruneOldEvents(std::move(updated));
    Q_EMIT objectWillChange();
    Q_EMIT eventsChanged(updated);
    m_events = std::move(updated);
    saveToDisk(m_events);
}

QList<PostureEvent> PostureLog::eventsForDate(const QDateTime& date) const {
    QList<PostureEvent> result;
    const QDate day = date.toLocalTime().date();
    if (!day.isValid()) {
        return result;
    }
    // Converting an event to local time is the slow part (it asks the system for the zone
    // each time, so a change of zone shows at once). Only events within a day of the day's
    // bounds can fall on it: no clock goes back a whole day. The window's ends are compared
    // as numbers; comparing with a local-time QDateTime would convert it every time.
    const QDateTime nearStart = day.addDays(-1).startOfDay();
    const QDateTime farEnd = day.addDays(2).startOfDay();
    const bool window = nearStart.isValid() && farEnd.isValid();
    const qint64 from = window ? nearStart.toMSecsSinceEpoch() : 0;
    const qint64 to = window ? farEnd.toMSecsSinceEpoch() : 0;
    for (const PostureEvent& event : m_events) {
        const qint64 at = event.startedAt.toMSecsSinceEpoch();
        if (window && (at < from || at >= to)) {
            continue;
        }
        if (event.startedAt.toLocalTime().date() == day) {
            result.append(event);
        }
    }
    return result;
}

int PostureLog::todayCount() const {
    return static_cast<int>(eventsForDate(now()).size());
}

double PostureLog::todayTotalDuration() const {
    double total = 0.0;
    for (const PostureEvent& event : eventsForDate(now())) {
        total += event.duration;
    }
    return total;
}

QList<PostureEvent> PostureLog::eventsForRange(const QDateTime& from, const QDateTime& to) const {
    QList<PostureEvent> result;
    if (!from.isValid() || !to.isValid()) {
        return result;
    }
    const qint64 first = from.toMSecsSinceEpoch();
    const qint64 last = to.toMSecsSinceEpoch();
    for (const PostureEvent& event : m_events) {
        const qint64 at = event.startedAt.toMSecsSinceEpoch();
        if (at >= first && at <= last) {
            result.append(event);
        }
    }
    return result;
}

QList<PostureEvent> PostureLog::pruneOldEvents(QList<PostureEvent> events) const {
    // Calendar days: across a daylight-saving change the cut-off keeps the wall-clock time.
    const QDateTime cutoff = now().toLocalTime().addDays(-maxAgeDays);
    if (!cutoff.isValid()) {
        return events;
    }
    const qint64 cutoffMSecs = cutoff.toMSecsSinceEpoch();
    events.removeIf([&](const PostureEvent& event) {
        return event.startedAt.toMSecsSinceEpoch() < cutoffMSecs;
    });
    return events;
}

QList<PostureEvent> PostureLog::loadFromDisk() {
    if (m_filePath.isEmpty()) {
        qCInfo(lcStats) << "no data folder: the posture log is kept in memory only";
        return {};
    }
    const QFileInfo info(m_filePath);
    if (!info.exists()) {
        qCInfo(lcStats) << "no posture log yet at" << m_filePath;
        return {};
    }
    m_unreadableOnDisk = true; // until proven otherwise
    const auto unreadable = [&](const QString& why) {
        qCWarning(lcStats,
                  "the posture log %s cannot be read (%s); it is kept aside before "
                  "the next write",
                  qUtf8Printable(m_filePath), qUtf8Printable(why));
        return QList<PostureEvent>();
    };
    // Not a regular file (a folder, a pipe that would block, a device): not a log.
    if (!info.isFile()) {
        return unreadable(QStringLiteral("not a file"));
    }
    if (info.size() > maxFileSize) {
        return unreadable(QStringLiteral("larger than %1 bytes").arg(maxFileSize));
    }
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return unreadable(file.errorString());
    }
    const QByteArray bytes = file.read(maxFileSize + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > maxFileSize) {
        return unreadable(file.error() != QFileDevice::NoError
                              ? file.errorString()
                              : QStringLiteral("larger than %1 bytes").arg(maxFileSize));
    }
    auto events = postureLogFormat::decode(bytes);
    if (!events) {
        return unreadable(QStringLiteral("not a posture log"));
    }
    m_unreadableOnDisk = false;
    qCInfo(lcStats) << "the posture log" << m_filePath << "was loaded:" << events->size()
                    << "events";
    return *std::move(events);
}

bool PostureLog::keepUnreadableFile() {
    const QFileInfo info(m_filePath);
    if (!info.exists() && !info.isSymLink()) {
        m_unreadableOnDisk = false; // gone meanwhile: nothing to keep
        return true;
    }
    const QString stamp = now().toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString stem = info.absolutePath() + QLatin1Char('/') + info.completeBaseName() +
                         QStringLiteral(".unreadable-") + stamp;
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    for (int n = 1; n <= 1000; ++n) {
        const QString candidate =
            stem + (n == 1 ? QString() : QLatin1Char('-') + QString::number(n)) + suffix;
        const QFileInfo taken(candidate);
        if (taken.exists() || taken.isSymLink()) {
            continue;
        }
        if (!QFile::rename(m_filePath, candidate)) {
            break;
        }
        m_unreadableOnDisk = false;
        m_keptUnreadableFile = candidate;
        qCWarning(lcStats) << "the unreadable posture log was kept as" << candidate;
        return true;
    }
    qCWarning(lcStats) << "the unreadable posture log" << m_filePath
                       << "could not be kept aside; it is not written over";
    return false;
}

void PostureLog::saveToDisk(const QList<PostureEvent>& events) {
    if (m_filePath.isEmpty()) {
        return;
    }
    // The folder may have been removed, or could not be made at start; try again.
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    // Never write over a file that could not be read before a copy of it is safe.
    if (m_unreadableOnDisk && !keepUnreadableFile()) {
        return;
    }
    const QByteArray bytes = postureLogFormat::encode(events);
    QSaveFile file(m_filePath);
    // On failure the previous file stays; the next record tries again. Unbuffered, a full
    // disk fails the write itself: a buffered QSaveFile (Qt 6.4) may not report the failed
    // flush at commit, and renames a short or empty file over the log. Where the file system
    // only finds out when the data reaches the disk, the sync says so before the rename.
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                         file.write(bytes) == bytes.size() && ::fsync(file.handle()) == 0 &&
                         file.commit();
    if (!written) {
        qCWarning(lcStats) << "the posture log" << m_filePath
                           << "could not be written:" << file.errorString();
        file.cancelWriting();
        return;
    }
    qCDebug(lcStats) << "the posture log was written:" << events.size() << "events";
}

} // namespace quorvel
