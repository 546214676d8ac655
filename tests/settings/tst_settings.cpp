#include "settings/SettingsManager.h"
#include "support/TestSupport.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <optional>

using namespace quorvel;
using namespace quorvel::test;

namespace {

// A value of each setting's type other than `value`.
bool other(bool value) {
    return !value;
}
qint64 other(qint64 value) {
    return value + 7;
}
double other(double value) {
    return value + 0.125;
}
SlouchSensitivity other(SlouchSensitivity value) {
    return value == SlouchSensitivity::high ? SlouchSensitivity::low : SlouchSensitivity::high;
}
QDateTime other(const QDateTime& value) {
    return value.addYears(2024).addMSecs(250); // dates before 1970 are stored as "never"
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void storedValuesAndWrongTypes_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("autoDismiss");
        QTest::addColumn<qint64>("standInterval");
        QTest::addColumn<bool>("monitoring");
        QTest::addColumn<SlouchSensitivity>("sensitivity");
        QTest::addColumn<double>("width");
        QTest::addColumn<bool>("calibrated");
        QTest::addColumn<QDateTime>("lastCheck");
        const QDateTime never = SettingsManager::distantPast();

        QTest::newRow("stored zero auto-dismiss stays")
            << QByteArray("[General]\nautoDismissTimeout=0\nlastUpdateCheck=0\n") << 0LL << 1800LL
            << false << SlouchSensitivity::medium << 0.0 << false << never;
        QTest::newRow("values as written")
            << QByteArray("[General]\nautoDismissTimeout=60\nstandInterval=100\n"
                          "postureMonitoringEnabled=true\nsensitivity=High\n"
                          "baselineShoulderWidth=0.42\nisCalibrated=true\n"
                          "lastUpdateCheck=1709647629.5\n")
            << 60LL << 100LL << true << SlouchSensitivity::high << 0.42 << true
            << utcFromMSecsSinceEpoch(1709647629500LL);
        QTest::newRow("wrong types fall back")
            << QByteArray("[General]\nautoDismissTimeout=true\nstandInterval=12.5\n"
                          "postureMonitoringEnabled=1\nsensitivity=high\n"
                          "baselineShoulderWidth=wide\nisCalibrated=yes\nlastUpdateCheck=-5\n")
            << 30LL << 1800LL << false << SlouchSensitivity::medium << 0.0 << false << never;
        QTest::newRow("integer beyond 64 bits, float nan")
            << QByteArray("[General]\nstandInterval=99999999999999999999\n"
                          "baselineShoulderWidth=nan\n")
            << 30LL << 1800LL << false << SlouchSensitivity::medium << 0.0 << false << never;
        QTest::newRow("garbage file")
            << QByteArray("\x00\xff\xfe[[[\nstandInterval\n=\n", 20) << 30LL << 1800LL << false
            << SlouchSensitivity::medium << 0.0 << false << never;
        QTest::newRow("truncated") << QByteArray("[General]\nautoDismissTimeout=1") << 1LL << 1800LL
                                   << false << SlouchSensitivity::medium << 0.0 << false << never;
    }

    void storedValuesAndWrongTypes() {
        QFETCH(QByteArray, file);
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        writeFile(path, file);
        {
            SettingsManager s(path);
            QTEST(s.autoDismissTimeout(), "autoDismiss");
            QTEST(s.standInterval(), "standInterval");
            QTEST(s.postureMonitoringEnabled(), "monitoring");
            QTEST(s.sensitivity(), "sensitivity");
            QTEST(s.baselineShoulderWidth(), "width");
            QTEST(s.isCalibrated(), "calibrated");
            QTEST(s.lastUpdateCheck(), "lastCheck");
        }
        // Reading never rewrites the file.
        QCOMPARE(readFile(path), file);
    }

    void assignmentWritesThroughAndRoundTrips() {
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        const QDateTime checked = utcFromMSecsSinceEpoch(1733472000250LL);
        {
            SettingsManager s(path);
            QSignalSpy will(&s, &SettingsManager::objectWillChange);
            QSignalSpy changed(&s, &SettingsManager::standIntervalChanged);
            qint64 seenDuringEmit = -1;
            connect(
                &s, &SettingsManager::standIntervalChanged, this,
                [&] { seenDuringEmit = s.standInterval(); }, Qt::DirectConnection);
            // The value it already has: still announced and written.
            s.setStandInterval(1800);
            QCOMPARE(will.count(), 1);
            QCOMPARE(changed.count(), 1);
            QVERIFY(readFile(path).contains("standInterval=1800"));
            s.setStandInterval(900);
            QCOMPARE(seenDuringEmit, 1800); // subscribers see the value before it is stored
            s.setBaselineShoulderY(0.3333333333333333);
            s.setLastUpdateCheck(checked);
            QVERIFY(readFile(path).contains("lastUpdateCheck=")); // written at once
        }
        SettingsManager again(path);
        QCOMPARE(again.standInterval(), 900);
        QCOMPARE(again.baselineShoulderY(), 0.3333333333333333);
        QCOMPARE(again.lastUpdateCheck(), checked);
    }

    // Every setting: an empty store gives its default, and what is set is written under the
    // setting's name and read back as it was by the next store.
    void everySettingIsWrittenAndReadBack() {
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        SettingsManager::Values written;
        {
            SettingsManager s(path);
#define QUORVEL_SET(Type, name, Setter, unused)                                                    \
    QCOMPARE(s.name(), SettingsManager::defaults().name);                                          \
    written.name = other(s.name());                                                                \
    s.Setter(written.name);                                                                        \
    QVERIFY2(readFile(path).contains("\n" #name "="), #name);
            QUORVEL_SETTINGS(QUORVEL_SET)
#undef QUORVEL_SET
        }
        SettingsManager again(path);
#define QUORVEL_CHECK(Type, name, Setter, unused) QCOMPARE(again.name(), written.name);
        QUORVEL_SETTINGS(QUORVEL_CHECK)
#undef QUORVEL_CHECK
    }

    // A write from the camera thread reaches the main thread queued, and only once stored.
    void writeFromAnotherThreadIsStoredBeforeItIsAnnounced() {
        TempFolder dir;
        SettingsManager s(dir.path("Quorvel.conf"));
        std::optional<bool> seen;
        QSemaphore handled;
        connect(&s, &SettingsManager::objectWillChange, this, [&] {
            QCOMPARE(QThread::currentThread(), thread());
            seen = s.isCalibrated();
            handled.release();
        });
        // The writer holds on in its own announcement until the main thread has handled it.
        connect(
            &s, &SettingsManager::objectWillChange, &s, [&] { (void)handled.tryAcquire(1, 30000); },
            Qt::DirectConnection);
        std::unique_ptr<QThread> writer(QThread::create([&s] { s.setIsCalibrated(true); }));
        writer->start();
        QTRY_VERIFY_WITH_TIMEOUT(seen.has_value(), 30000);
        QVERIFY(writer->wait(30000));
        QCOMPARE(*seen, true);
    }

    // A disk that fills while the settings are written: the stored calibration and choices
    // stay as they were on disk, and the values in use stay the new ones.
    void fullDiskKeepsTheStoredSettings() {
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        {
            SettingsManager s(path);
            s.setStandInterval(900);
            s.setBaselineShoulderWidth(0.42);
            s.setIsCalibrated(true);
        }
        const QByteArray before = readFile(path);
        QVERIFY(before.contains("isCalibrated=true"));
        SettingsManager s(path);
        for (qint64 room : {0, 40}) {
            FileSizeLimit full(room);
            s.setWaterInterval(600 + room);
        }
        QCOMPARE(s.waterInterval(), 640);
        QCOMPARE(readFile(path), before);
        s.setSensitivity(SlouchSensitivity::high); // room again: everything is written
        SettingsManager reread(path);
        QCOMPARE(reread.waterInterval(), 640);
        QCOMPARE(reread.standInterval(), 900);
        QVERIFY(reread.isCalibrated());
        QCOMPARE(reread.sensitivity(), SlouchSensitivity::high);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
