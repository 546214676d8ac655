#include "posture/PostureAnalyzer.h"
#include "support/TestSupport.h"

#include <QTest>
#include <utility>

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

// An analyzer on a private store, with or without the baseline (width 0.5, height 0.5).
struct Analyzer {
    TempFolder dir;
    SettingsManager settings{dir.path("q.conf")};
    PostureAnalyzer analyzer{settings};
    explicit Analyzer(bool calibrated = false) {
        if (calibrated) {
            settings.setBaselineShoulderWidth(0.5);
            settings.setBaselineShoulderY(0.5);
            settings.setIsCalibrated(true);
        }
    }
};

} // namespace

class TestPostureAnalysis : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        Analyzer a(true);
        QTEST(a.analyzer.analyze(person(width, height)), "expected");
    }

    void analyzeOrderOfChecks() {
        Analyzer a;
        // Not calibrated and nobody in view: calibration is checked first.
        QCOMPARE(a.analyzer.analyze(BodyJoints{}), PostureStatus::calibrating);
        // A flag without a positive width is not a baseline.
        a.settings.setIsCalibrated(true);
        QCOMPARE(a.analyzer.analyze(person(0.5, 0.5)), PostureStatus::calibrating);
        // Height 0 baseline: only the width test applies.
        a.settings.setBaselineShoulderWidth(0.5);
        QCOMPARE(a.analyzer.analyze(person(0.5, 0.01)), PostureStatus::good);
        a.settings.setBaselineShoulderY(0.5);
        // A joint counts above confidence 0.3; neck and ears play no part.
        QCOMPARE(a.analyzer.analyze(person(0.5, 0.5, 0.3f)), PostureStatus::noPersonDetected);
        BodyJoints j = person(0.5, 0.5, 0.31f);
        j.neck.confidence = j.leftEar.confidence = 0.0f;
        QCOMPARE(a.analyzer.analyze(j), PostureStatus::good);
        // The sensitivity is read afresh on every call.
        QCOMPARE(a.analyzer.analyze(person(0.44, 0.5)), PostureStatus::slouching);
        a.settings.setSensitivity(SlouchSensitivity::low);
        QCOMPARE(a.analyzer.analyze(person(0.44, 0.5)), PostureStatus::good);
    }

    void calibrationOfTenFrames() {
        Analyzer a;
        PostureAnalyzer& analyzer = a.analyzer;
        QVERIFY(!analyzer.addCalibrationFrame(person(0.5, 0.5))); // not calibrating
        analyzer.startCalibration();
        double widthSum = 0.5, heightSum = 0.6; // the tenth frame's
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
        QVERIFY(analyzer.addCalibrationFrame(person(0.5, 0.6)));
        QVERIFY(!analyzer.isCalibrating() && analyzer.isCalibrated() && a.settings.isCalibrated());
        QCOMPARE(analyzer.calibrationFrameCountSoFar(), 0);
        QVERIFY(qFuzzyCompare(a.settings.baselineShoulderWidth(), widthSum / 10));
        QVERIFY(qFuzzyCompare(a.settings.baselineShoulderY(), heightSum / 10));
        QVERIFY(!analyzer.addCalibrationFrame(person(0.5, 0.5)));
    }

    // Recalibrate while a finished calibration writes its baseline (here from an observer of
    // the store, so at a known point): the reset comes later, so it wins.
    void resetWhileCalibrationFinishes() {
        Analyzer a;
        a.analyzer.startCalibration();
        for (int i = 0; i < 9; ++i) {
            a.analyzer.addCalibrationFrame(person(0.4, 0.4));
        }
        bool recalibrated = false;
        QObject::connect(&a.settings, &SettingsManager::baselineShoulderWidthChanged, &a.settings,
                         [&] {
                             if (!std::exchange(recalibrated, true)) {
                                 a.analyzer.resetCalibration();
                                 a.analyzer.startCalibration();
                             }
                         });
        QVERIFY(a.analyzer.addCalibrationFrame(person(0.4, 0.4)));
        QVERIFY(recalibrated && a.analyzer.isCalibrating());
        QVERIFY(!a.settings.isCalibrated() && !a.analyzer.isCalibrated());

        // A reset mid-calibration forgets the frames.
        for (int i = 0; i < 5; ++i) {
            a.analyzer.addCalibrationFrame(person(0.5, 0.5));
        }
        a.analyzer.resetCalibration();
        QVERIFY(!a.analyzer.isCalibrating() && a.analyzer.calibrationFrameCountSoFar() == 0);
        QCOMPARE(a.settings.baselineShoulderWidth(), 0.0);
    }
};

QTEST_GUILESS_MAIN(TestPostureAnalysis)
#include "tst_posture_analysis.moc"
