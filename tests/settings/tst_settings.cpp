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

// Compares every setting of `s` with `expected`.
void compareAll(const SettingsManager& s, const SettingsManager::Values& expected) {
#define QUORVEL_CHECK(Type, name, Setter, unused) QCOMPARE(s.name(), expected.name);
    QUORVEL_SETTINGS(QUORVEL_CHECK)
#undef QUORVEL_CHECK
}

} // namespace

Q_DECLARE_METATYPE(quorvel::SettingsManager::Values)

class TestSettings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void storedValuesAndWrongTypes_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<SettingsManager::Values>("expected");
        const SettingsManager::Values defaults = SettingsManager::defaults();
        SettingsManager::Values zero = defaults;
        zero.autoDismissTimeout = 0;
        QTest::newRow("stored zero auto-dismiss stays")
            << QByteArray("[General]\nautoDismissTimeout=0\nlastUpdateCheck=0\n") << zero;
        SettingsManager::Values written = defaults;
        written.autoDismissTimeout = 60;
        written.standInterval = 100;
        written.postureMonitoringEnabled = written.isCalibrated = true;
        written.sensitivity = SlouchSensitivity::high;
        written.baselineShoulderWidth = 0.42;
        written.lastUpdateCheck = utcFromMSecsSinceEpoch(1709647629500LL);
        QTest::newRow("values as written")
            << QByteArray("[General]\nautoDismissTimeout=60\nstandInterval=100\n"
                          "postureMonitoringEnabled=true\nsensitivity=High\n"
                          "baselineShoulderWidth=0.42\nisCalibrated=true\n"
                          "lastUpdateCheck=1709647629.5\n")
            << written;
        QTest::newRow("wrong types fall back")
            << QByteArray("[General]\nautoDismissTimeout=true\nstandInterval=12.5\n"
                          "postureMonitoringEnabled=1\nsensitivity=high\n"
                          "baselineShoulderWidth=wide\nisCalibrated=yes\nlastUpdateCheck=-5\n")
            << defaults;
        QTest::newRow("integer beyond 64 bits, float nan")
            << QByteArray("[General]\nstandInterval=99999999999999999999\n"
                          "baselineShoulderWidth=nan\n")
            << defaults;
        QTest::newRow("garbage file")
            << QByteArray("\x00\xff\xfe[[[\nstandInterval\n=\n", 20) << defaults;
        SettingsManager::Values truncated = defaults;
        truncated.autoDismissTimeout = 1;
        QTest::newRow("truncated") << QByteArray("[General]\nautoDismissTimeout=1") << truncated;
    }

    void storedValuesAndWrongTypes() {
        QFETCH(QByteArray, file);
        QFETCH(SettingsManager::Values, expected);
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        writeFile(path, file);
        compareAll(SettingsManager(path), expected);
        // Reading never rewrites the file.
        QCOMPARE(readFile(path), file);
    }

    // Every setting: an empty store gives its default, and what is set is written at once
    // under the setting's name and read back as it was by the next store (a double to its
    // last digit). Observers hear of a change before it is stored, even of a value the
    // setting already has, which is written all the same.
    void everySettingIsWrittenAndReadBack() {
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        SettingsManager::Values written;
        {
            SettingsManager s(path);
            compareAll(s, SettingsManager::defaults());
            QSignalSpy will(&s, &SettingsManager::objectWillChange);
            QSignalSpy changed(&s, &SettingsManager::standIntervalChanged);
            s.setStandInterval(s.standInterval());
            QCOMPARE(will.count(), 1);
            QCOMPARE(changed.count(), 1);
            QVERIFY(readFile(path).contains("standInterval=1800"));
            qint64 seenDuringEmit = -1;
            connect(
                &s, &SettingsManager::standIntervalChanged, this,
                [&] { seenDuringEmit = s.standInterval(); }, Qt::DirectConnection);
#define QUORVEL_SET(Type, name, Setter, unused)                                                    \
    written.name = other(s.name());                                                                \
    s.Setter(written.name);                                                                        \
    QVERIFY2(readFile(path).contains("\n" #name "="), #name);
            QUORVEL_SETTINGS(QUORVEL_SET)
#undef QUORVEL_SET
            QCOMPARE(seenDuringEmit, 1800);
            written.baselineShoulderY = 0.3333333333333333;
            s.setBaselineShoulderY(written.baselineShoulderY);
        }
        compareAll(SettingsManager(path), written);
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
