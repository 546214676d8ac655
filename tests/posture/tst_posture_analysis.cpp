#include "posture/PostureAnalyzer.h"
#include "support/TestSupport.h"

#include <QTest>
#include <QThread>

using namespace quorvel;
using namespace quorvel::test;

namespace {

// A person with valid nose and shoulders; width and height of the shoulder line as given.
BodyJoints person(double width, double height, float noseConfidence = 0.9f) {
    BodyJoints j;
    j.nose = {0.5, height + 0.2, noseConfidence};
    j.neck = {0.5, height + 0.05, 0.9f};
    j.leftEar = {0.45, height + 0.25, 0.9f};
    j.rightEar = {0.55, height + 0.25, 0.9f};
    j.leftShoulder = {0.0, height, 0.9f}; // so that the width is exact
    j.rightShoulder = {width, height, 0.9f};
    return j;
}

} // namespace

class TestPostureAnalysis : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusRawValues() {
        QVERIFY(postureStatusFromRawValue("Good") == PostureStatus::good);
        QVERIFY(!postureStatusFromRawValue("good"));
        QVERIFY(!postureStatusFromRawValue("No Person Detected"));
        QCOMPARE(rawValue(PostureStatus::noPersonDetected), QString("No person detected"));
    }

    void jointValidityAndDerivedQuantities() {
        QVERIFY(!JointPoint({0, 0, 0.3f}).isValid());
        QVERIFY(JointPoint({0, 0, 0.31f}).isValid());

        BodyJoints j;
        j.leftShoulder = {0.25, 0.5, 0.9f};
        j.rightShoulder = {0.75, 0.5, 0.4f};
        j.nose = {0.5, 0.75, 0.9f};
        QCOMPARE(j.shoulderWidth(), 0.5);
        QCOMPARE(j.shoulderMidpoint().x, 0.5);
        QCOMPARE(j.shoulderMidpoint().y, 0.5);
        QCOMPARE(j.shoulderMidpoint().confidence, 0.4f);
        QCOMPARE(j.noseToShoulderRatio(), 0.5);
        QVERIFY(j.hasValidKeyJoints()); // neck and ears at confidence 0 play no part
        std::swap(j.leftShoulder, j.rightShoulder);
        QCOMPARE(j.shoulderWidth(), 0.5);
        QCOMPARE(j.shoulderMidpoint().x, 0.5);

        j.leftEar = {0.4, 0.9, 0.2f};
        j.rightEar = {0.6, 0.9, 0.9f};
        QVERIFY(!j.hasValidEars());
        QCOMPARE(j.earToShoulderRatio(), 0.0);

        j.rightShoulder = j.leftShoulder;
        QCOMPARE(j.shoulderWidth(), 0.0);
        QCOMPARE(j.noseToShoulderRatio(), 0.0);
    }

    void exactThresholdsAtMedium_data() {
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("height");
        QTest::addColumn<PostureStatus>("expected");
        QTest::newRow("narrower") << 0.44 << 0.5 << PostureStatus::slouching;
        QTest::newRow("width at threshold") << 0.45 << 0.5 << PostureStatus::good;
        QTest::newRow("lower") << 0.46 << 0.46 << PostureStatus::slouching;
        QTest::newRow("height at threshold") << 0.46 << 0.465 << PostureStatus::good;
    }

    void exactThresholdsAtMedium() {
        QFETCH(double, width);
        QFETCH(double, height);
        TempFolder dir;
        SettingsManager settings(dir.path("q.conf"));
        settings.setBaselineShoulderWidth(0.5);
        settings.setBaselineShoulderY(0.5);
        settings.setIsCalibrated(true);
        PostureAnalyzer analyzer(settings);
        QTEST(analyzer.analyze(person(width, height)), "expected");
    }

    void analyzeOrderOfChecks() {
        TempFolder dir;
        SettingsManager settings(dir.path("q.conf"));
        PostureAnalyzer analyzer(settings);
        // Not calibrated and nobody in view: calibration is checked first.
        QCOMPARE(analyzer.analyze(BodyJoints{}), PostureStatus::calibrating);
        // A flag without a positive width is not a baseline.
        settings.setIsCalibrated(true);
        QCOMPARE(analyzer.analyze(person(0.5, 0.5)), PostureStatus::calibrating);
        // Height 0 baseline: only the width test applies.
        settings.setBaselineShoulderWidth(0.5);
        QCOMPARE(analyzer.analyze(person(0.5, 0.01)), PostureStatus::good);
        settings.setBaselineShoulderY(0.5);
        QCOMPARE(analyzer.analyze(person(0.5, 0.5, 0.2f)), PostureStatus::noPersonDetected);
        // The sensitivity is read afresh on every call.
        QCOMPARE(analyzer.analyze(person(0.44, 0.5)), PostureStatus::slouching);
        settings.setSensitivity(SlouchSensitivity::low);
        QCOMPARE(analyzer.analyze(person(0.44, 0.5)), PostureStatus::good);
    }

    void calibrationOfTenFrames() {
        TempFolder dir;
        SettingsManager settings(dir.path("q.conf"));
        PostureAnalyzer analyzer(settings);
        QVERIFY(!analyzer.addCalibrationFrame(person(0.5, 0.5)));
        QCOMPARE(analyzer.calibrationFrameCountSoFar(), 0);

        analyzer.resetCalibration();
        analyzer.startCalibration();
        double widthSum = 0, heightSum = 0;
        for (int i = 0; i < 9; ++i) {
            const double w = 0.4 + i * 0.01, h = 0.5 + i * 0.005;
            widthSum += w;
            heightSum += h;
            QVERIFY(!analyzer.addCalibrationFrame(person(w, h)));
            if (i == 4) {
                // An invalid nose does not count toward the ten.
                QVERIFY(!analyzer.addCalibrationFrame(person(0.9, 0.9, 0.1f)));
            }
        }
        QCOMPARE(analyzer.calibrationFrameCountSoFar(), 9);
        QVERIFY(!analyzer.isCalibrated());
        widthSum += 0.5;
        heightSum += 0.6;
        QVERIFY(analyzer.addCalibrationFrame(person(0.5, 0.6)));
        QVERIFY(!analyzer.isCalibrating());
        QCOMPARE(analyzer.calibrationFrameCountSoFar(), 0);
        QVERIFY(qFuzzyCompare(settings.baselineShoulderWidth(), widthSum / 10));
        QVERIFY(qFuzzyCompare(settings.baselineShoulderY(), heightSum / 10));
        QVERIFY(settings.isCalibrated());
        QVERIFY(analyzer.isCalibrated());
        QVERIFY(!analyzer.addCalibrationFrame(person(0.5, 0.5)));
    }

    void resetMidCalibration() {
        TempFolder dir;
        SettingsManager settings(dir.path("q.conf"));
        settings.setBaselineShoulderWidth(0.5);
        settings.setBaselineShoulderY(0.5);
        settings.setIsCalibrated(true);
        PostureAnalyzer analyzer(settings);
        analyzer.startCalibration();
        for (int i = 0; i < 5; ++i) {
            analyzer.addCalibrationFrame(person(0.5, 0.5));
        }
        analyzer.resetCalibration();
        QCOMPARE(settings.isCalibrated(), false);
        QCOMPARE(settings.baselineShoulderWidth(), 0.0);
        QCOMPARE(settings.baselineShoulderY(), 0.0);
        QCOMPARE(analyzer.calibrationFrameCountSoFar(), 0);
        QVERIFY(!analyzer.isCalibrating());
    }

    // Frames arrive on the camera thread while the main thread restarts calibration.
    void concurrentCallers() {
        TempFolder dir;
        SettingsManager settings(dir.path("q.conf"));
        PostureAnalyzer analyzer(settings);
        std::atomic<bool> stop{false};
        std::unique_ptr<QThread> camera(QThread::create([&] {
            while (!stop) {
                if (analyzer.isCalibrating()) {
                    analyzer.addCalibrationFrame(person(0.5, 0.5));
                } else {
                    (void)analyzer.analyze(person(0.4, 0.5));
                }
            }
        }));
        camera->start();
        for (int i = 0; i < 200; ++i) {
            analyzer.resetCalibration();
            analyzer.startCalibration();
            QCoreApplication::processEvents();
        }
        stop = true;
        QVERIFY(camera->wait(10000));
        QVERIFY(analyzer.calibrationFrameCountSoFar() <= PostureAnalyzer::calibrationFrameCount);
    }
};

QTEST_GUILESS_MAIN(TestPostureAnalysis)
#include "tst_posture_analysis.moc"
