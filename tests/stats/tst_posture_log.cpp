#include "StatsTestSupport.h"
#include "stats/PostureLog.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <sys/stat.h>

using namespace quorvel;
using namespace quorvel::test;

namespace {

const QUuid firstId = QUuid::fromString(u"6f1c0b8e-3c1a-4d5e-9f00-0123456789ab");
const QByteArray keptName = "posture-log.unreadable-20261206T101500Z";

// A log file in a fresh folder, on a clock the test moves.
struct Setup {
    TempFolder dir;
    QString path = dir.path("posture-log.json");
    FakeClock clock;
    explicit Setup(const QDateTime& now = utcTime(2026, 12, 6, 10, 15, 0)) : clock(now) {}
    PostureLog open() const { return PostureLog(path, clock.clock()); }
    QStringList keptCopies() const {
        return QDir(dir.path()).entryList({"posture-log.unreadable-*"}, QDir::Files, QDir::Name);
    }
};

} // namespace

class TestPostureLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { setLocalTimeZone(berlin); }

    void firstStartCreatesFolderButNoFile() {
        TempFolder dir;
        const QString path = dir.path("a/Quorvel/posture-log.json");
        PostureLog log(path, FakeClock().clock());
        QVERIFY(QFileInfo(dir.path("a/Quorvel")).isDir());
        QVERIFY(log.events().isEmpty());
        // Events that cannot be written are ignored: still no file, nobody notified.
        QSignalSpy changed(&log, &PostureLog::eventsChanged);
        for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
            log.record(PostureEvent(QDateTime::currentDateTimeUtc(), bad));
        }
        log.record(PostureEvent(QDateTime(), 1.0));
        log.record(PostureEvent(utcDateTime(QDate(10000, 1, 1), QTime(0, 0)), 1.0));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!QFile::exists(path));
    }

    void recordWritesTheExactFormatAndNotifiesFirst() {
        Setup s(utcTime(2024, 3, 5, 14, 8, 0));
        const PostureEvent event(firstId, utcTime(2024, 3, 5, 14, 7, 9, 250), 30.5);
        PostureLog log = s.open();
        QSignalSpy willChange(&log, &PostureLog::objectWillChange);
        qsizetype heldDuringSignal = -1;
        connect(&log, &PostureLog::eventsChanged, &log, [&](const QList<PostureEvent>& list) {
            QCOMPARE(willChange.count(), 1);
            QCOMPARE(list, QList<PostureEvent>{event});
            heldDuringSignal = log.events().size();
        });
        log.record(event);
        QCOMPARE(heldDuringSignal, 0); // the new list is stored after observers hear of it
        QCOMPARE(readFile(s.path), json("[{'id':'6F1C0B8E-3C1A-4D5E-9F00-0123456789AB',"
                                        "'startedAt':'2024-03-05T14:07:09Z','duration':30.5}]"));
    }

    void readerIsLenientAboutFormOnly() {
        Setup s;
        writeFile(s.path, " [\n  { \"duration\" : 1e1 , \"note\": [1, {}],\n"
                          "    \"startedAt\": \"2024-03-05T14:07:09.123456Z\",\n"
                          "    \"id\": \"6f1c0b8e-3c1a-4d5e-9f00-0123456789ab\" },\n"
                          "  {\"id\":\"6F1C0B8E-3C1A-4D5E-9F00-0123456789AB\","
                          "\"startedAt\":\"2024-03-05T15:07:09+01:30\",\"duration\":-7}\n] \n");
        // A negative duration, as older versions wrote after the clock was set back, reads as 0.
        QCOMPARE(s.open().events(),
                 QList({PostureEvent(firstId, utcTime(2024, 3, 5, 14, 7, 9, 123), 10.0),
                        PostureEvent(firstId, utcTime(2024, 3, 5, 13, 37, 9), 0.0)}));
        QVERIFY(s.keptCopies().isEmpty());
    }

    // What no reader may take in (the fuzz target covers what must not crash or hang).
    void unreadableFileIsKeptBesideTheNewLog_data() {
        // A good element followed by one with the given id, startedAt and duration.
        auto file = [](const char* id, const char* date, const char* duration) {
            return json("[{'id':'6F1C0B8E-3C1A-4D5E-9F00-0123456789AB','startedAt':"
                        "'2024-03-05T14:07:09Z','duration':30},{'id':") +
                   id + json(",'startedAt':") + date + json(",'duration':") + duration + "}]";
        };
        const char* id = "\"6F1C0B8E-3C1A-4D5E-9F00-0123456789AB\"";
        const char* date = "\"2024-03-05T14:07:09Z\"";
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("duration null") << file(id, date, "null");
        QTest::newRow("date is not a date") << file(id, "\"yesterday\"", "30");
        QTest::newRow("uuid in braces")
            << file("\"{6F1C0B8E-3C1A-4D5E-9F00-0123456789AB}\"", date, "30");
        QTest::newRow("no duration") << file(id, date, "1").replace(json(",'duration':1}"), "}");
        QTest::newRow("not UTF-8") << file(id, "\"2024-03-05T14:07:\xff\xfeZ\"", "30");
    }

    void unreadableFileIsKeptBesideTheNewLog() {
        QFETCH(QByteArray, contents);
        Setup s;
        writeFile(s.path, contents);
        PostureLog log = s.open();
        QVERIFY(log.events().isEmpty());
        QCOMPARE(readFile(s.path), contents); // untouched until the next record

        const PostureEvent event(firstId, utcTime(2026, 12, 6, 10, 14, 0), 60.0);
        log.record(event);
        QCOMPARE(log.keptUnreadableFile(), s.dir.path(keptName + ".json"));
        QCOMPARE(readFile(log.keptUnreadableFile()), contents);
        QCOMPARE(readFile(s.path), logFile({event}));

        // Only once: the next record just rewrites the log.
        log.record(PostureEvent(s.clock.now(), 1.0));
        QCOMPARE(s.keptCopies().size(), 1);
        QCOMPARE(s.open().events().size(), 2);

        // A later broken file at the same second never replaces the copy kept before.
        writeFile(s.path, "broken");
        s.open().record(event);
        QCOMPARE(s.keptCopies(), QStringList({keptName + "-2.json", keptName + ".json"}));
        QCOMPARE(readFile(s.dir.path(keptName + ".json")), contents);
        QCOMPARE(readFile(s.dir.path(keptName + "-2.json")), "broken");
    }

    void oddThingsAtThePathNeitherHangNorGetLost() {
        Setup s;
        // A named pipe would block a plain read forever.
        const QString pipe = s.dir.path("pipe/posture-log.json");
        QDir().mkpath(s.dir.path("pipe"));
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        // A folder where the file should be.
        const QString folder = s.dir.path("folder/posture-log.json");
        QDir().mkpath(folder);
        // Larger than any log can get, though well-formed.
        const QString huge = s.dir.path("huge/posture-log.json");
        writeFile(huge, "[" + QByteArray(PostureLog::maxFileSize, ' ') + "]");

        for (const QString& path : {pipe, folder, huge}) {
            PostureLog log(path, s.clock.clock());
            QVERIFY(log.events().isEmpty());
            log.record(PostureEvent(s.clock.now(), 1.0));
            QCOMPARE(PostureLog(path, s.clock.clock()).events().size(), 1);
            QVERIFY2(QFileInfo::exists(log.keptUnreadableFile()), qPrintable(path));
        }
    }

    void writeFailureKeepsTheListAndRetries() {
        Setup s;
        // A plain file where the folder should be: nothing can be created or written.
        writeFile(s.dir.path("Quorvel"), "in the way");
        const QString path = s.dir.path("Quorvel/posture-log.json");
        PostureLog log(path, s.clock.clock());
        log.record(PostureEvent(s.clock.now(), 1.0));
        log.record(PostureEvent(s.clock.now(), 2.0));
        QCOMPARE(log.events().size(), 2);
        QCOMPARE(readFile(s.dir.path("Quorvel")), QByteArray("in the way"));

        QFile::remove(s.dir.path("Quorvel"));
        log.record(PostureEvent(s.clock.now(), 3.0));
        QCOMPARE(PostureLog(path, s.clock.clock()).events(), log.events());
        QCOMPARE(QDir(s.dir.path("Quorvel")).entryList(QDir::Files),
                 QStringList{"posture-log.json"}); // no temporary files left
    }

    // A disk that fills while the log is written (here a file-size limit, which fails a
    // write past it as a full disk does): the old log stays whole, and the failure is
    // reported, at every size of what could still be written, the smallest logs included.
    void fullDiskKeepsTheOldLog_data() {
        QTest::addColumn<int>("eventsBefore");
        QTest::addColumn<qint64>("room");
        // About 95 bytes an event; each room is less than the new log needs.
        const std::pair<int, qint64> cases[] = {{1, 0},      {1, 100},    {100, 0},
                                                {100, 4096}, {400, 4096}, {400, 16384}};
        for (const auto& [events, room] : cases) {
            QTest::addRow("%d events, %lld bytes free", events, room) << events << room;
        }
    }

    void fullDiskKeepsTheOldLog() {
        QFETCH(int, eventsBefore);
        QFETCH(qint64, room);
        Setup s;
        {
            PostureLog log = s.open();
            for (int i = 0; i < eventsBefore; ++i) {
                log.record(PostureEvent(s.clock.now().addSecs(-60 * (i + 1)), 20.0 + i));
            }
        }
        const QByteArray before = readFile(s.path);
        PostureLog log = s.open();
        QCOMPARE(log.events().size(), eventsBefore);
        {
            FileSizeLimit full(room);
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("the posture log .* could not be written"));
            log.record(PostureEvent(s.clock.now(), 5.0));
        }
        QCOMPARE(readFile(s.path), before);
        QCOMPARE(log.events().size(), eventsBefore + 1); // kept, and written at the next record
        log.record(PostureEvent(s.clock.now().addSecs(1), 6.0));
        QCOMPARE(s.open().events(), log.events());
        QCOMPARE(QDir(s.dir.path()).entryList(QDir::Files), QStringList{"posture-log.json"});
    }

    void pruningCountsCalendarDaysAcrossDaylightSaving() {
        // Now: 1 June 12:00 summer time. 90 calendar days back is 3 March 12:00 winter time
        // (11:00 UTC), an hour later than 90 x 24 hours back.
        Setup s(local(2024, 6, 1, 12, 0));
        const PostureEvent atCutoff(utcTime(2024, 3, 3, 11, 0, 0), 5.0);
        writeFile(s.path, logFile({PostureEvent(utcTime(2023, 1, 1, 0, 0), 5.0),
                                   PostureEvent(utcTime(2024, 3, 3, 10, 59, 59), 5.0), atCutoff}));
        PostureLog log = s.open();
        // Loaded events wait for the next record.
        QCOMPARE(log.eventsForRange(utcTime(2000, 1, 1, 0, 0), s.clock.now()).size(), 3);

        // An event that is itself too old still notifies and saves, then is gone at once.
        QSignalSpy changed(&log, &PostureLog::eventsChanged);
        log.record(PostureEvent(utcTime(2024, 1, 1, 0, 0), 5.0));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed[0][0].value<QList<PostureEvent>>(), QList<PostureEvent>{atCutoff});
        QCOMPARE(log.events(), QList<PostureEvent>{atCutoff});
        QCOMPARE(readFile(s.path), logFile({atCutoff}));
    }

    void daysFollowTheLocalCalendar() {
        Setup s(local(2024, 3, 5, 23, 59, 59));
        PostureLog log = s.open();
        const PostureEvent lateEvening(local(2024, 3, 5, 23, 59, 50), 30.0);
        log.record(PostureEvent(local(2024, 3, 5, 0, 0, 0), 15.0));
        log.record(lateEvening);
        log.record(PostureEvent(local(2024, 3, 4, 23, 59, 59), 1.0));
        QCOMPARE(log.todayCount(), 2);
        QCOMPARE(log.todayTotalDuration(), 45.0);
        // The episode ran past midnight but belongs to the day it started.
        s.clock.set(local(2024, 3, 6, 0, 0, 10));
        QCOMPARE(log.todayCount(), 0);
        QCOMPARE(log.eventsForDate(local(2024, 3, 5, 12, 0)).last(), lateEvening);

        // The zone in force at the query decides: midnight in Berlin is 18:00 the evening
        // before in New York and 23:00 the day before in UTC.
        setLocalTimeZone(newYork);
        QCOMPARE(log.eventsForDate(local(2024, 3, 4, 12, 0)).size(), 2);
        QCOMPARE(log.eventsForDate(local(2024, 3, 5, 12, 0)), QList<PostureEvent>{lateEvening});
        setLocalTimeZone("UTC0");
        QCOMPARE(log.eventsForDate(local(2024, 3, 4, 12, 0)).size(), 2);
    }

    void rangeBoundsAreInclusive() {
        Setup s(utcTime(2024, 3, 5, 12, 0));
        PostureLog log = s.open();
        const QDateTime from = utcTime(2024, 3, 5, 8, 0);
        const QDateTime to = utcTime(2024, 3, 5, 9, 0);
        for (const QDateTime& t : {to, from.addSecs(-1), from, to.addSecs(1)}) {
            log.record(PostureEvent(t, 1.0)); // log order, not time order
        }
        const QList<PostureEvent> inRange = log.eventsForRange(from, to);
        QCOMPARE(inRange.size(), 2);
        QCOMPARE(inRange[0].startedAt, to);
        QCOMPARE(inRange[1].startedAt, from);
        QVERIFY(log.eventsForRange(from.addMSecs(1), to.addMSecs(-1)).isEmpty());
        QVERIFY(log.eventsForRange(to, from).isEmpty());

        // The clock was set back an hour during an episode: it lasted no time, not -3600 s.
        QCOMPARE(PostureEvent(s.clock.now(), -3600.0).duration, 0.0);
        PostureEvent setBack(s.clock.now(), 0.0);
        setBack.duration = -3600.0;
        log.record(setBack);
        QCOMPARE(log.todayTotalDuration(), 4.0);
    }
};

QTEST_GUILESS_MAIN(TestPostureLog)
#include "tst_posture_log.moc"
