#include "app/Observation.h"
#include "settings/SettingsManager.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

using namespace quorvel;
using namespace quorvel::test;

class TestSettings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyDomainYieldsDefaults() {
        TempFolder dir;
        SettingsManager s(dir.path("Quorvel.conf"));
        QCOMPARE(s.postureMonitoringEnabled(), false);
        QCOMPARE(s.standReminderEnabled(), false);
        QCOMPARE(s.waterReminderEnabled(), false);
        QCOMPARE(s.standInterval(), 1800);
        QCOMPARE(s.waterInterval(), 2700);
        QCOMPARE(s.autoDismissTimeout(), 30);
        QCOMPARE(s.sensitivity(), SlouchSensitivity::medium);
        QCOMPARE(s.launchAtLogin(), false);
        QCOMPARE(s.baselineNoseRatio(), 0.0);
        QCOMPARE(s.baselineEarRatio(), 0.0);
        QCOMPARE(s.baselineShoulderWidth(), 0.0);
        QCOMPARE(s.baselineShoulderY(), 0.0);
        QCOMPARE(s.isCalibrated(), false);
        QCOMPARE(s.lastUpdateCheck(), SettingsManager::distantPast());
        QVERIFY(!QFile::exists(dir.path("Quorvel.conf")));
    }

    void storedValuesAndWrongTypes_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("autoDismiss");
        QTest::addColumn<qint64>("standInterval");
        QTest::addColumn<bool>("monitoring");
        QTest::addColumn<SlouchSensitivity>("sensitivity");
        QTest::addColumn<double>("width");
        QTest::addColumn<bool>("calibrated");

        QTest::newRow("stored zero auto-dismiss stays")
            << QByteArray("[General]\nautoDismissTimeout=0\n") << 0LL << 1800LL << false
            << SlouchSensitivity::medium << 0.0 << false;
        QTest::newRow("values as written")
            << QByteArray("[General]\nautoDismissTimeout=60\nstandInterval=100\n"
                          "postureMonitoringEnabled=true\nsensitivity=High\n"
                          "baselineShoulderWidth=0.42\nisCalibrated=true\n")
            << 60LL << 100LL << true << SlouchSensitivity::high << 0.42 << true;
        QTest::newRow("lower-case sensitivity")
            << QByteArray("[General]\nsensitivity=high\n") << 30LL << 1800LL << false
            << SlouchSensitivity::medium << 0.0 << false;
        QTest::newRow("wrong types fall back")
            << QByteArray("[General]\nautoDismissTimeout=true\nstandInterval=12.5\n"
                          "postureMonitoringEnabled=1\nsensitivity=7\n"
                          "baselineShoulderWidth=wide\nisCalibrated=yes\n")
            << 30LL << 1800LL << false << SlouchSensitivity::medium << 0.0 << false;
        QTest::newRow("integer beyond 64 bits")
            << QByteArray("[General]\nstandInterval=99999999999999999999\n") << 30LL << 1800LL
            << false << SlouchSensitivity::medium << 0.0 << false;
        QTest::newRow("float rejects nan and inf")
            << QByteArray("[General]\nbaselineShoulderWidth=nan\n") << 30LL << 1800LL << false
            << SlouchSensitivity::medium << 0.0 << false;
        QTest::newRow("garbage file")
            << QByteArray("\x00\xff\xfe[[[\nstandInterval\n=\n", 20) << 30LL << 1800LL << false
            << SlouchSensitivity::medium << 0.0 << false;
        QTest::newRow("truncated") << QByteArray("[General]\nautoDismissTimeout=1") << 1LL << 1800LL
                                   << false << SlouchSensitivity::medium << 0.0 << false;
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
        }
        // Reading never rewrites the file.
        QCOMPARE(readFile(path), file);
    }

    void lastUpdateCheck_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QDateTime>("expected");
        QTest::newRow("zero") << QByteArray("0") << SettingsManager::distantPast();
        QTest::newRow("negative") << QByteArray("-5") << SettingsManager::distantPast();
        QTest::newRow("positive") << QByteArray("1709647629.5")
                                  << QDateTime::fromMSecsSinceEpoch(1709647629500LL, Qt::UTC);
        QTest::newRow("text") << QByteArray("yesterday") << SettingsManager::distantPast();
    }

    void lastUpdateCheck() {
        QFETCH(QByteArray, stored);
        TempFolder dir;
        writeFile(dir.path("q.conf"), "[General]\nlastUpdateCheck=" + stored + "\n");
        SettingsManager s(dir.path("q.conf"));
        QTEST(s.lastUpdateCheck(), "expected");
    }

    void assignmentWritesThroughAndRoundTrips() {
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        const QDateTime checked = QDateTime::fromMSecsSinceEpoch(1733472000250LL, Qt::UTC);
        {
            SettingsManager s(path);
            s.setPostureMonitoringEnabled(true);
            s.setWaterInterval(900);
            s.setAutoDismissTimeout(0);
            s.setSensitivity(SlouchSensitivity::low);
            s.setBaselineShoulderWidth(0.1);
            s.setBaselineShoulderY(0.3333333333333333);
            s.setLastUpdateCheck(checked);
            // Written at once, before the store goes away.
            const QByteArray text = readFile(path);
            QVERIFY(text.contains("postureMonitoringEnabled=true"));
            QVERIFY(text.contains("sensitivity=Low"));
            QVERIFY(text.contains("baselineShoulderWidth=0.1\n"));
        }
        SettingsManager again(path);
        QCOMPARE(again.postureMonitoringEnabled(), true);
        QCOMPARE(again.waterInterval(), 900);
        QCOMPARE(again.autoDismissTimeout(), 0);
        QCOMPARE(again.sensitivity(), SlouchSensitivity::low);
        QCOMPARE(again.baselineShoulderWidth(), 0.1);
        QCOMPARE(again.baselineShoulderY(), 0.3333333333333333);
        QCOMPARE(again.lastUpdateCheck(), checked);
    }

    void unchangedValueStillWritesAndNotifies() {
        TempFolder dir;
        const QString path = dir.path("Quorvel.conf");
        SettingsManager s(path);
        QSignalSpy will(&s, &SettingsManager::objectWillChange);
        QSignalSpy changed(&s, &SettingsManager::standIntervalChanged);
        qint64 seenDuringEmit = -1;
        connect(
            &s, &SettingsManager::standIntervalChanged, this,
            [&] { seenDuringEmit = s.standInterval(); }, Qt::DirectConnection);
        s.setStandInterval(1800);
        QCOMPARE(will.count(), 1);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toLongLong(), 1800);
        QVERIFY(readFile(path).contains("standInterval=1800"));

        s.setStandInterval(900);
        QCOMPARE(seenDuringEmit, 1800); // subscribers see the value before it is stored
        QCOMPARE(s.standInterval(), 900);
    }

    void queuedSubscriptionDeliversCurrentThenChangesLater() {
        TempFolder dir;
        SettingsManager s(dir.path("Quorvel.conf"));
        QList<qint64> seen;
        QObject owner;
        subscribeQueued(&s, &SettingsManager::waterIntervalChanged, s.waterInterval(), &owner,
                        [&](qint64 v) { seen << v; });
        s.setWaterInterval(1200);
        QVERIFY(seen.isEmpty()); // never inside the assignment
        QTRY_COMPARE(seen, (QList<qint64>{2700, 1200}));
    }

    void writesFromAnotherThreadReachMainThreadQueued() {
        TempFolder dir;
        SettingsManager s(dir.path("Quorvel.conf"));
        QList<double> seen;
        Qt::HANDLE receivedOn = nullptr;
        connect(&s, &SettingsManager::baselineShoulderWidthChanged, this, [&](double v) {
            seen << v;
            receivedOn = QThread::currentThreadId();
        });
        std::unique_ptr<QThread> writers[2];
        for (int t = 0; t < 2; ++t) {
            writers[t].reset(QThread::create([&s, t] {
                for (int i = 0; i < 50; ++i) {
                    s.setBaselineShoulderWidth(t + i / 100.0);
                    (void)s.baselineShoulderWidth();
                    (void)s.sensitivity();
                }
            }));
            writers[t]->start();
        }
        for (int i = 0; i < 50; ++i) {
            s.setSensitivity(i % 2 ? SlouchSensitivity::low : SlouchSensitivity::high);
        }
        for (auto& w : writers) {
            QVERIFY(w->wait(10000));
        }
        QTRY_COMPARE(seen.size(), 100);
        QCOMPARE(receivedOn, QThread::currentThreadId());
    }

    void choices() {
        QVERIFY(!reminderIntervalFromRawValue(1500));
        QVERIFY(reminderIntervalFromRawValue(2700) == ReminderInterval::fortyFiveMin);
        QVERIFY(autoDismissTimeoutFromRawValue(0) == AutoDismissTimeout::never);
        QVERIFY(!autoDismissTimeoutFromRawValue(45));
        QList<qint64> order;
        QStringList labels;
        for (auto t : allAutoDismissTimeouts) {
            order << rawValue(t);
            labels << label(t);
        }
        QCOMPARE(order, (QList<qint64>{15, 30, 60, 0}));
        QCOMPARE(labels, (QStringList{"15s", "30s", "60s", "Never"}));
        QStringList intervalLabels;
        for (auto i : allReminderIntervals) {
            intervalLabels << label(i);
        }
        QCOMPARE(intervalLabels, (QStringList{"15 min", "20 min", "30 min", "45 min", "60 min"}));
        QVERIFY(slouchSensitivityFromRawValue("High") == SlouchSensitivity::high);
        QCOMPARE(shoulderWidthThreshold(SlouchSensitivity::high), 0.93);
        QCOMPARE(shoulderDropThreshold(SlouchSensitivity::high), 0.95);
        QVERIFY(!slouchSensitivityFromRawValue("medium"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
