#pragma once

#include "common/Clock.h"
#include "stats/PostureEvent.h"

#include <QList>
#include <QObject>
#include <QString>

namespace quorvel {

// The slouch events of the last 90 days, kept in memory and in one JSON file.
//
// The file is rewritten whole, atomically, on every record(); a write that fails leaves the
// previous file in place and is tried again with the full list on the next record. A file
// that cannot be read (not JSON, not the expected shape, too large, not a regular file)
// starts the log empty and is kept: before the next record writes a new log, it is renamed
// to "posture-log.unreadable-<UTC time>.json" beside it, never replacing an earlier copy.
//
// Every change of `events` emits objectWillChange(), then eventsChanged() with the new list
// (events() still returns the old list at that moment), then stores the list and saves it.
// Main thread only.
class PostureLog : public QObject {
    Q_OBJECT

public:
    // Retention in calendar days of the local time zone.
    static constexpr int maxAgeDays = 90;
    // Larger files are treated as unreadable (a full log holds well under 16 MiB).
    static constexpr qint64 maxFileSize = 32 * 1024 * 1024;

    // The user's log, defaultFilePath(), with the system clock.
    explicit PostureLog(QObject* parent = nullptr);
    // A log kept in `filePath`; its folder is created if missing. An empty path keeps the log
    // in memory only.
    explicit PostureLog(const QString& filePath, Clock clock = systemClock(),
                        QObject* parent = nullptr);

    PostureLog(const PostureLog&) = delete;
    PostureLog& operator=(const PostureLog&) = delete;

    // $XDG_DATA_HOME/Quorvel/posture-log.json (~/.local/share/... by default); empty when
    // the system names no data folder.
    static QString defaultFilePath();

    QString filePath() const { return m_filePath; }
    // What the clock says now; the statistics view draws "today" from it.
    QDateTime now() const { return m_clock(); }

    // Every event held, earliest recorded first.
    const QList<PostureEvent>& events() const { return m_events; }

    // Appends the event, drops those older than maxAgeDays calendar days, publishes and saves.
    // An event that could not be written (invalid instant, year outside 1 to 9999, infinite
    // or NaN duration) is ignored.
    void record(const PostureEvent& event);

    // In log order, the events that started on the same local calendar day as `date`, by the
    // time zone in force now.
    QList<PostureEvent> eventsForDate(const QDateTime& date) const;
    int todayCount() const;
    double todayTotalDuration() const;
    // In log order, the events with from <= startedAt <= to.
    QList<PostureEvent> eventsForRange(const QDateTime& from, const QDateTime& to) const;

    // Where this run kept the unreadable file it found ("" when it kept none).
    QString keptUnreadableFile() const { return m_keptUnreadableFile; }

Q_SIGNALS:
    void objectWillChange();
    void eventsChanged(QList<quorvel::PostureEvent> events);

private:
    QList<PostureEvent> loadFromDisk();
    QList<PostureEvent> pruneOldEvents(QList<PostureEvent> events) const;
    void saveToDisk(const QList<PostureEvent>& events);
    bool keepUnreadableFile();

    QString m_filePath;
    Clock m_clock;
    QList<PostureEvent> m_events;
    bool m_unreadableOnDisk = false;
    QString m_keptUnreadableFile;
};

} // namespace quorvel
