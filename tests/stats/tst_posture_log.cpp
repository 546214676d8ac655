#include "StatsTestSupport.h"
#include "stats/PostureLog.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <sys/stat.h>

using namespace quorvel;
using namespace quorvel::test;

namespace {

const QUuid firstId = QUuid::fromString(u"6f1c0b8e-3c1a-4d5e-9f00-0123456789ab");

QStringList keptCopies(const TempFolder& dir) {
    return QDir(dir.path())
        .entryList({QStringLiteral("posture-log.unreadable-*")}, QDir::Files, QDir::Name);
}

} // namespace

class TestPostureLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { setLocalTimeZone(berlin); }
    void init() { setLocalTimeZone(berlin); }

    void firstStartCreatesFolderButNoFile() {
        TempFolder dir;
        const QString path = dir.path("a/Quorvel/posture-log.json");
        FakeClock clock;
        PostureLog log(path, clock.clock());
        QVERIFY(QFileInfo(dir.path("a/Quorvel")).isDir());
        QVERIFY(!QFile::exists(path));
        QVERIFY(log.events().isEmpty());
        QCOMPARE(log.todayCount(), 0);
        QCOMPARE(log.todayTotalDuration(), 0.0);

        // The user's log lives under the XDG data folder.
        QCOMPARE(PostureLog::defaultFilePath(),
                 qEnvironmentVariable("XDG_DATA_HOME") + "/Quorvel/posture-log.json");
    }

    void recordWritesTheExactFormatAndNotifiesFirst() {
        TempFolder dir;
        const QString path = dir.path("posture-log.json");
        FakeClock clock(utcTime(2024, 3, 5, 14, 8, 0));
        const PostureEvent event(firstId, utcTime(2024, 3, 5, 14, 7, 9, 250), 30.5);
        {
            PostureLog log(path, clock.clock());
            QSignalSpy willChange(&log, &PostureLog::objectWillChange);
            qsizetype heldDuringSignal = -1;
            connect(&log, &PostureLog::eventsChanged, &log, [&](const QList<PostureEvent>& list) {
                QCOMPARE(willChange.count(), 1);
                QCOMPARE(list, QList<PostureEvent>{event});
                heldDuringSignal = log.events().size();
            });
            log.record(event);
            QCOMPARE(heldDuringSignal, 0); // the new list is stored after observers hear of it
            QCOMPARE(log.events(), QList<PostureEvent>{event});
            QCOMPARE(readFile(path), json("[{'id':'6F1C0B8E-3C1A-4D5E-9F00-0123456789AB',"
                                          "'startedAt':'2024-03-05T14:07:09Z','duration':30.5}]"));
        }
        // After a restart the fraction of a second is gone; the duration is not.
        PostureLog again(path, clock.clock());
        QCOMPARE(again.events().size(), 1);
        QCOMPARE(again.events()[0].id, firstId);
        QCOMPARE(again.events()[0].startedAt, utcTime(2024, 3, 5, 14, 7, 9));
        QCOMPARE(again.events()[0].duration, 30.5);
    }

    void numbersAreShortestAndPlain() {
        const QList<QPair<double, QByteArray>> cases = {
            {30.0, "30"},     {0.0, "0"},      {0.1, "0.1"},      {1.0 / 3.0, "0.3333333333333333"},
            {1e6, "1000000"}, {1e-5, "1e-05"}, {1e300, "1e+300"}, {-2.5, "-2.5"}};
        for (const auto& [value, text] : cases) {
            QCOMPARE(postureLogFormat::formatNumber(value), text);
        }
    }

    void everyDoubleAndInstantRoundTrips() {
        QRandomGenerator random(42);
        QList<PostureEvent> events;
        for (int i = 0; i < 2000; ++i) {
            double duration = 0.0;
            const quint64 bits = random.generate64();
            std::memcpy(&duration, &bits, sizeof duration);
            if (!std::isfinite(duration)) {
                duration = random.generateDouble() * 3600.0;
            }
            const qint64 seconds = random.bounded(Q_INT64_C(-62135596800), Q_INT64_C(253402300799));
            events.append(PostureEvent(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC), duration));
        }
        for (double extreme : {std::numeric_limits<double>::denorm_min(),
                               std::numeric_limits<double>::max(), -0.0, 0x1.0p54, 0x1.0p54 + 4}) {
            events.append(PostureEvent(QDateTime::fromSecsSinceEpoch(0, Qt::UTC), extreme));
        }
        const auto back = postureLogFormat::decode(postureLogFormat::encode(events));
        QVERIFY(back);
        QCOMPARE(*back, events);
    }

    void readerIsLenientAboutFormOnly() {
        TempFolder dir;
        const QString path = dir.path("posture-log.json");
        writeFile(path, " [\n  { \"duration\" : 1e1 , \"note\": [1, {}],\n"
                        "    \"startedAt\": \"2024-03-05T14:07:09.123456Z\",\n"
                        "    \"id\": \"6f1c0b8e-3c1a-4d5e-9f00-0123456789ab\" },\n"
                        "  {\"id\":\"6F1C0B8E-3C1A-4D5E-9F00-0123456789AB\","
                        "\"startedAt\":\"2024-03-05T15:07:09+01:30\",\"duration\":7}\n] \n");
        FakeClock clock;
        PostureLog log(path, clock.clock());
        QCOMPARE(log.events().size(), 2);
        QCOMPARE(log.events()[0].id, firstId);
        QCOMPARE(log.events()[0].startedAt, utcTime(2024, 3, 5, 14, 7, 9, 123));
        QCOMPARE(log.events()[0].duration, 10.0);
        QCOMPARE(log.events()[1].startedAt, utcTime(2024, 3, 5, 13, 37, 9));
        QVERIFY(keptCopies(dir).isEmpty());
    }

    void unreadableFileIsKeptBesideTheNewLog_data() {
        // One element with the given id, startedAt and duration, as JSON text.
        auto element = [](const char* id, const char* startedAt, const char* duration) {
            return "{" + json("'id':") + id + json(",'startedAt':") + startedAt +
                   json(",'duration':") + duration + "}";
        };
        const char* id = "\"6F1C0B8E-3C1A-4D5E-9F00-0123456789AB\"";
        const char* date = "\"2024-03-05T14:07:09Z\"";
        const QByteArray good = element(id, date, "30");
        auto file = [&](const QByteArray& second) {
            return "[" + good + "," + second + "]";
        };

        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("no duration") << file(json("{'id':'6F1C0B8E-3C1A-4D5E-9F00-0123456789AB',"
                                                  "'startedAt':'2024-03-05T14:07:09Z'}"));
        QTest::newRow("duration null") << file(element(id, date, "null"));
        QTest::newRow("duration is text") << file(element(id, date, "\"30\""));
        QTest::newRow("duration too large") << file(element(id, date, "1e400"));
        QTest::newRow("date is a number") << file(element(id, "731426829", "30"));
        QTest::newRow("date is not a date") << file(element(id, "\"yesterday\"", "30"));
        QTest::newRow("date without zone") << file(element(id, "\"2024-03-05T14:07:09\"", "30"));
        QTest::newRow("30 February") << file(element(id, "\"2024-02-30T14:07:09Z\"", "30"));
        QTest::newRow("year 0") << file(element(id, "\"0000-03-05T14:07:09Z\"", "30"));
        QTest::newRow("uuid in braces")
            << file(element("\"{6F1C0B8E-3C1A-4D5E-9F00-0123456789AB}\"", date, "30"));
        QTest::newRow("uuid not hex")
            << file(element("\"6F1C0B8E-3C1A-4D5E-9F00-0123456789AG\"", date, "30"));
        QTest::newRow("uuid without hyphens")
            << file(element("\"6F1C0B8E3C1A4D5E9F000123456789AB\"", date, "30"));
        QTest::newRow("element not object") << file("[]");
        QTest::newRow("object, not array") << good;
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("truncated") << good.left(50);
        QTest::newRow("garbage after") << QByteArray("[]x");
        QTest::newRow("not UTF-8") << file(element(id, "\"2024-03-05T14:07:\xff\xfeZ\"", "30"));
        QTest::newRow("UTF-16") << QByteArray("\xff\xfe[\0]\0", 6);
        QTest::newRow("nested 100000 deep") << QByteArray(100000, '[');
        QTest::newRow("nested then closed") << QByteArray(5000, '[') + QByteArray(5000, ']');
    }

    void unreadableFileIsKeptBesideTheNewLog() {
        QFETCH(QByteArray, contents);
        TempFolder dir;
        const QString path = dir.path("posture-log.json");
        writeFile(path, contents);
        FakeClock clock(utcTime(2026, 12, 6, 10, 15, 0));
        PostureLog log(path, clock.clock());
        QVERIFY(log.events().isEmpty());
        QCOMPARE(readFile(path), contents); // untouched until the next record

        const PostureEvent event(firstId, utcTime(2026, 12, 6, 10, 14, 0), 60.0);
        log.record(event);
        QCOMPARE(keptCopies(dir), QStringList{"posture-log.unreadable-20261206T101500Z.json"});
        QCOMPARE(log.keptUnreadableFile(),
                 dir.path("posture-log.unreadable-20261206T101500Z.json"));
        QCOMPARE(readFile(log.keptUnreadableFile()), contents);
        QCOMPARE(readFile(path), "[" + eventJson(event) + "]");

        // Only once: the next record just rewrites the log.
        log.record(PostureEvent(clock.now(), 1.0));
        QCOMPARE(keptCopies(dir).size(), 1);
        QCOMPARE(PostureLog(path, clock.clock()).events().size(), 2);
    }

    void keptCopiesNeverReplaceEachOther() {
        TempFolder dir;
        const QString path = dir.path("posture-log.json");
        FakeClock clock(utcTime(2026, 12, 6, 10, 15, 0));
        for (int run = 1; run <= 3; ++run) {
            writeFile(path, "broken " + QByteArray::number(run));
            PostureLog log(path, clock.clock());
            log.record(PostureEvent(clock.now(), 1.0));
        }
        QCOMPARE(keptCopies(dir), QStringList({"posture-log.unreadable-20261206T101500Z-2.json",
                                               "posture-log.unreadable-20261206T101500Z-3.json",
                                               "posture-log.unreadable-20261206T101500Z.json"}));
        QCOMPARE(readFile(dir.path("posture-log.unreadable-20261206T101500Z.json")), "broken 1");
        QCOMPARE(readFile(dir.path("posture-log.unreadable-20261206T101500Z-3.json")), "broken 3");
    }

    void oddThingsAtThePathNeitherHangNorGetLost() {
        TempFolder dir;
        FakeClock clock(utcTime(2026, 12, 6, 10, 15, 0));
        // A named pipe would block a plain read forever.
        const QString pipe = dir.path("pipe/posture-log.json");
        QDir().mkpath(dir.path("pipe"));
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        // A folder where the file should be.
        const QString folder = dir.path("folder/posture-log.json");
        QDir().mkpath(folder);
        // Larger than any log can get, though well-formed.
        const QString huge = dir.path("huge/posture-log.json");
        writeFile(huge, "[" + QByteArray(PostureLog::maxFileSize, ' ') + "]");

        for (const QString& path : {pipe, folder, huge}) {
            PostureLog log(path, clock.clock());
            QVERIFY(log.events().isEmpty());
            log.record(PostureEvent(clock.now(), 1.0));
            QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
            QCOMPARE(PostureLog(path, clock.clock()).events().size(), 1);
            QVERIFY(QFileInfo::exists(log.keptUnreadableFile()));
        }
    }

    void everyTruncationAndRandomBytesAreSafe() {
        QList<PostureEvent> events;
        for (int i = 0; i < 3; ++i) {
            events.append(PostureEvent(utcTime(2024, 3, 5, 14, 7, i), 30.0 + i));
        }
        const QByteArray whole = postureLogFormat::encode(events);
        for (qsizetype n = 0; n < whole.size(); ++n) {
            const QByteArray cut = whole.left(n);
            QVERIFY2(!postureLogFormat::decode(cut), cut.constData());
        }
        QRandomGenerator random(7);
        for (int i = 0; i < 2000; ++i) {
            QByteArray bytes = whole;
            for (int flips = 1 + random.bounded(4); flips > 0; --flips) {
                bytes[random.bounded(bytes.size())] = static_cast<char>(random.bounded(256));
            }
            // Parses or not, but never crashes; what parses is written back the same.
            if (const auto parsed = postureLogFormat::decode(bytes)) {
                QCOMPARE(postureLogFormat::decode(postureLogFormat::encode(*parsed)), parsed);
            }
        }
    }

    void writeFailureKeepsTheListAndRetries() {
        TempFolder dir;
        // A plain file where the folder should be: nothing can be created or written.
        writeFile(dir.path("Quorvel"), "in the way");
        const QString path = dir.path("Quorvel/posture-log.json");
        FakeClock clock;
        PostureLog log(path, clock.clock());
        log.record(PostureEvent(clock.now(), 1.0));
        log.record(PostureEvent(clock.now(), 2.0));
        QCOMPARE(log.events().size(), 2);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(readFile(dir.path("Quorvel")), QByteArray("in the way"));

        QFile::remove(dir.path("Quorvel"));
        log.record(PostureEvent(clock.now(), 3.0));
        QCOMPARE(PostureLog(path, clock.clock()).events(), log.events());
        QCOMPARE(QDir(dir.path("Quorvel")).entryList(QDir::Files),
                 QStringList{"posture-log.json"}); // no temporary files left
    }

    void eventsThatCannotBeWrittenAreIgnored() {
        TempFolder dir;
        FakeClock clock;
        PostureLog log(dir.path("posture-log.json"), clock.clock());
        QSignalSpy changed(&log, &PostureLog::eventsChanged);
        log.record(PostureEvent(clock.now(), std::nan("")));
        log.record(PostureEvent(clock.now(), std::numeric_limits<double>::infinity()));
        log.record(PostureEvent(QDateTime(), 1.0));
        log.record(PostureEvent(QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC), 1.0));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!QFile::exists(dir.path("posture-log.json")));
    }

    void pruningCountsCalendarDaysAcrossDaylightSaving() {
        // Now: 1 June 12:00 summer time. 90 calendar days back is 3 March 12:00 winter time
        // (11:00 UTC), an hour later than 90 x 24 hours back.
        TempFolder dir;
        const QString path = dir.path("posture-log.json");
        FakeClock clock(local(2024, 6, 1, 12, 0));
        const PostureEvent ancient(utcTime(2023, 1, 1, 0, 0), 5.0);
        const PostureEvent justBefore(utcTime(2024, 3, 3, 10, 59, 59), 5.0);
        const PostureEvent atCutoff(utcTime(2024, 3, 3, 11, 0, 0), 5.0);
        writeFile(path, "[" + eventJson(ancient) + "," + eventJson(justBefore) + "," +
                            eventJson(atCutoff) + "]");
        PostureLog log(path, clock.clock());
        // Loaded events wait for the next record.
        QCOMPARE(log.events().size(), 3);
        QCOMPARE(log.eventsForRange(utcTime(2000, 1, 1, 0, 0), clock.now()).size(), 3);

        // An event that is itself too old still notifies and saves, then is gone at once.
        QSignalSpy changed(&log, &PostureLog::eventsChanged);
        log.record(PostureEvent(utcTime(2024, 1, 1, 0, 0), 5.0));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed[0][0].value<QList<PostureEvent>>(), QList<PostureEvent>{atCutoff});
        QCOMPARE(log.events(), QList<PostureEvent>{atCutoff});
        QCOMPARE(readFile(path), "[" + eventJson(atCutoff) + "]");
    }

    void pruningCutoffInsideTheSpringGap() {
        // 90 days before 8 June 02:30 is 10 March 02:30, an hour that New York skips.
        setLocalTimeZone(newYork);
        TempFolder dir;
        FakeClock clock(local(2024, 6, 8, 2, 30));
        PostureLog log(dir.path("posture-log.json"), clock.clock());
        log.record(PostureEvent(utcTime(2024, 3, 10, 7, 29, 59), 1.0)); // 03:29:59 EDT
        log.record(PostureEvent(utcTime(2024, 3, 10, 7, 30, 0), 1.0));  // 03:30 EDT
        QCOMPARE(log.events().size(), 1);
        QCOMPARE(log.events()[0].startedAt, utcTime(2024, 3, 10, 7, 30, 0));
    }

    void daysFollowTheLocalCalendar() {
        TempFolder dir;
        FakeClock clock(local(2024, 3, 5, 23, 59, 59));
        PostureLog log(dir.path("posture-log.json"), clock.clock());
        const PostureEvent lateEvening(local(2024, 3, 5, 23, 59, 50), 30.0);
        log.record(PostureEvent(local(2024, 3, 5, 0, 0, 0), 15.0));
        log.record(lateEvening);
        log.record(PostureEvent(local(2024, 3, 4, 23, 59, 59), 1.0));
        QCOMPARE(log.todayCount(), 2);
        QCOMPARE(log.todayTotalDuration(), 45.0);
        // The episode ran past midnight but belongs to the day it started.
        clock.set(local(2024, 3, 6, 0, 0, 10));
        QCOMPARE(log.todayCount(), 0);
        QCOMPARE(log.eventsForDate(local(2024, 3, 5, 12, 0)).last(), lateEvening);

        // The zone in force at the query decides: midnight in Berlin is 18:00 the evening
        // before in New York and 23:00 the day before in UTC.
        setLocalTimeZone(newYork);
        QCOMPARE(log.eventsForDate(local(2024, 3, 4, 12, 0)).size(), 2);
        QCOMPARE(log.eventsForDate(local(2024, 3, 5, 12, 0)), QList<PostureEvent>{lateEvening});
        setLocalTimeZone(utc);
        QCOMPARE(log.eventsForDate(local(2024, 3, 4, 12, 0)).size(), 2);
    }

    void anHourRepeatedAcrossMidnightStaysOnItsDay() {
        // Chile ends summer time at Sunday 00:00, going back to Saturday 23:00.
        setLocalTimeZone("<-04>4<-03>,M9.1.6/24,M4.1.6/24");
        TempFolder dir;
        FakeClock clock(utcTime(2024, 4, 7, 12, 0));
        QCOMPARE(utcTime(2024, 4, 7, 2, 30).toLocalTime().time(), QTime(23, 30));
        QCOMPARE(utcTime(2024, 4, 7, 3, 30).toLocalTime().time(), QTime(23, 30));
        PostureLog log(dir.path("posture-log.json"), clock.clock());
        log.record(PostureEvent(utcTime(2024, 4, 7, 2, 30), 1.0)); // Saturday 23:30, first
        log.record(PostureEvent(utcTime(2024, 4, 7, 3, 30), 1.0)); // Saturday 23:30 again
        log.record(PostureEvent(utcTime(2024, 4, 7, 4, 30), 1.0)); // Sunday 00:30
        QCOMPARE(log.eventsForDate(local(2024, 4, 6, 12, 0)).size(), 2);
        QCOMPARE(log.eventsForDate(local(2024, 4, 7, 12, 0)).size(), 1);
    }

    void rangeBoundsAreInclusive() {
        TempFolder dir;
        FakeClock clock(utcTime(2024, 3, 5, 12, 0));
        PostureLog log(dir.path("posture-log.json"), clock.clock());
        const QDateTime from = utcTime(2024, 3, 5, 8, 0);
        const QDateTime to = utcTime(2024, 3, 5, 9, 0);
        log.record(PostureEvent(to, 1.0)); // log order, not time order
        log.record(PostureEvent(from.addSecs(-1), 1.0));
        log.record(PostureEvent(from, 1.0));
        log.record(PostureEvent(to.addSecs(1), 1.0));
        const QList<PostureEvent> inRange = log.eventsForRange(from, to);
        QCOMPARE(inRange.size(), 2);
        QCOMPARE(inRange[0].startedAt, to);
        QCOMPARE(inRange[1].startedAt, from);
        QVERIFY(log.eventsForRange(from.addMSecs(1), to.addMSecs(-1)).isEmpty());
        QVERIFY(log.eventsForRange(to, from).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPostureLog)
#include "tst_posture_log.moc"
