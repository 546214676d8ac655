#include "overlay/OverlayWindowController.h"
#include "posture/PostureDetector.h"
#include "stats/PostureLog.h"
#include "support/FakeScreens.h"
#include "support/FakeTimers.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTest>
#include <deque>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

using namespace quorvel;
using namespace quorvel::test;

namespace {

// Hands out scripted answers, one per frame.
class ScriptedEstimator final : public PoseEstimator {
public:
    explicit ScriptedEstimator(std::shared_ptr<std::deque<PoseResult>> script)
        : m_script(std::move(script)) {}
    PoseResult estimate(const cv::Mat&) override {
        if (m_script->empty()) {
            return PoseResult{true, QStringLiteral("script ran out"), {}};
        }
        PoseResult next = m_script->front();
        m_script->pop_front();
        return next;
    }

private:
    std::shared_ptr<std::deque<PoseResult>> m_script;
};

PoseObservation body(double width, double height, float neckConfidence = 0.9f) {
    PoseObservation o;
    auto set = [&](PoseJointName joint, JointPoint p) {
        o.points[static_cast<size_t>(joint)] = p;
    };
    set(PoseJointName::nose, {0.25, height + 0.2, 0.9f});
    set(PoseJointName::neck, {0.25, height, neckConfidence});
    set(PoseJointName::leftEar, {0.2, height + 0.25, 0.9f});
    set(PoseJointName::rightEar, {0.3, height + 0.25, 0.9f});
    set(PoseJointName::leftShoulder, {0.0, height, 0.9f});
    set(PoseJointName::rightShoulder, {width, height, 0.9f});
    return o;
}

PoseResult upright() {
    return PoseResult{false, {}, {body(0.5, 0.5)}};
}
PoseResult slouched() {
    return PoseResult{false, {}, {body(0.4, 0.5)}};
}
PoseResult nobody() {
    return PoseResult{false, {}, {}};
}
PoseResult failure() {
    return PoseResult{true, QStringLiteral("engine failed"), {}};
}

// A detector on a calibrated baseline (width 0.5, height 0.5, Medium), with stand-in
// screens, instant fades and a clock the test moves.
struct Rig {
    TempFolder dir;
    SettingsManager settings{dir.path("Quorvel.conf")};
    FakeClock clock;
    FakeTimers timers;
    PostureAnalyzer analyzer{settings};
    OverlayWindowController overlays{settings, FakeScreens::two(), OverlayTimings{0, 0, {0, 0, 0}},
                                     timers.factory()};
    PostureLog log{dir.path("posture-log.json"), clock.clock()};
    std::shared_ptr<std::deque<PoseResult>> script = std::make_shared<std::deque<PoseResult>>();
    PostureDetector detector{analyzer,
                             overlays,
                             settings,
                             log,
                             [s = script](QString*) -> std::unique_ptr<PoseEstimator> {
                                 return std::make_unique<ScriptedEstimator>(s);
                             },
                             clock.clock()};

    explicit Rig(bool calibrated = true) {
        if (calibrated) {
            settings.setBaselineShoulderWidth(0.5);
            settings.setBaselineShoulderY(0.5);
            settings.setIsCalibrated(true);
        }
        overlays.onDismiss = [this](OverlayType type) {
            if (type == OverlayType::slouch) {
                detector.markSlouchAlertDismissed();
            }
        };
    }

    // One forwarded frame, then the main-thread work it posted.
    PostureStatus frame(PoseResult result) {
        script->push_back(std::move(result));
        detector.processFrame(cv::Mat());
        QCoreApplication::processEvents();
        timers.advance(std::chrono::milliseconds(0));
        QCoreApplication::processEvents();
        return detector.currentStatus();
    }
    void frames(int n, PoseResult (*make)()) {
        for (int i = 0; i < n; ++i) {
            frame(make());
        }
    }
    int slouchingInWindow() const {
        const auto& w = detector.recentFrames();
        return static_cast<int>(std::count(w.begin(), w.end(), PostureStatus::slouching));
    }
};

} // namespace

class TestPostureDetector : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sixSlouchingFramesRaiseTheOverlay() {
        Rig rig;
        rig.frames(5, slouched);
        QVERIFY(!rig.detector.slouchAlertActive());
        QCOMPARE(rig.frame(slouched()), PostureStatus::slouching);
        QVERIFY(rig.detector.slouchAlertActive());
        QVERIFY(rig.detector.recentFrames().empty());
        QVERIFY(rig.overlays.isShowing());
        QVERIFY(rig.overlays.currentType() == OverlayType::slouch);
        QVERIFY(!rig.overlays.hasAutoDismissTask());
    }

    void windowSlidesOverTenVerdicts() {
        Rig alternating;
        for (int i = 0; i < 10; ++i) {
            alternating.frame(i % 2 ? slouched() : upright());
        }
        QCOMPARE(alternating.slouchingInWindow(), 5);
        QVERIFY(!alternating.detector.slouchAlertActive());

        Rig rig; // good, slouching x5, good x4, then one more slouching
        rig.frame(upright());
        rig.frames(5, slouched);
        rig.frames(4, upright);
        QVERIFY(!rig.detector.slouchAlertActive());
        rig.frame(slouched());
        QVERIFY(rig.detector.slouchAlertActive());
    }

    void twoConsecutiveGoodFramesEndTheAlertAndLogIt() {
        Rig rig;
        rig.frames(6, slouched);
        const QDateTime raised = rig.clock.now();
        rig.clock.advance(10);
        rig.frame(upright());
        rig.frame(slouched()); // resets the count
        rig.frame(upright());
        rig.frame(nobody()); // no person: neither advances nor resets
        QVERIFY(rig.detector.slouchAlertActive());
        rig.clock.advance(5);
        rig.frame(upright());
        QVERIFY(!rig.detector.slouchAlertActive());
        QVERIFY(!rig.overlays.isShowing());
        QCOMPARE(rig.log.events().size(), 1);
        QCOMPARE(rig.log.events().first().startedAt, raised);
        QCOMPARE(rig.log.events().first().duration, 15.0);
    }

    void cooldownHoldsOffTheNextAlert() {
        Rig rig;
        rig.frames(6, slouched);
        rig.frames(2, upright); // ends the alert: cooldown starts now
        rig.clock.advance(30);
        rig.frames(6, slouched);
        QVERIFY(!rig.detector.slouchAlertActive());
        rig.clock.advance(31);
        rig.frame(slouched());
        QVERIFY(rig.detector.slouchAlertActive());
        QCOMPARE(rig.log.events().size(), 1);
    }

    void userDismissalLogsOnceAndKeepsTheGoodCount() {
        Rig rig;
        rig.frames(6, slouched);
        rig.frame(upright()); // one good frame seen
        rig.clock.advance(7);
        rig.overlays.dismiss(); // the user's click
        QVERIFY(!rig.detector.slouchAlertActive());
        QCOMPARE(rig.log.events().size(), 1);
        QCOMPARE(rig.log.events().first().duration, 7.0);
        QVERIFY(rig.detector.recentFrames().empty());

        // After the cooldown, the next alert ends at its first good frame.
        rig.clock.advance(61);
        rig.frames(6, slouched);
        QVERIFY(rig.detector.slouchAlertActive());
        rig.frame(upright());
        QVERIFY(!rig.detector.slouchAlertActive());
        QCOMPARE(rig.log.events().size(), 2);
    }

    void framesWithoutAUsablePerson() {
        Rig rig;
        rig.frames(3, slouched);
        QCOMPARE(rig.frame(failure()), PostureStatus::noPersonDetected);
        QCOMPARE(rig.slouchingInWindow(), 3); // a failed request keeps the window
        PoseResult lowNeck{false, {}, {body(0.4, 0.5, 0.2f)}};
        QCOMPARE(rig.frame(lowNeck), PostureStatus::noPersonDetected);
        QVERIFY(rig.detector.recentFrames().empty());
        rig.frames(3, slouched);
        PoseResult missingEar{false, {}, {body(0.5, 0.5)}};
        missingEar.observations[0].points[static_cast<size_t>(PoseJointName::leftEar)].reset();
        QCOMPARE(rig.frame(missingEar), PostureStatus::noPersonDetected);
        QVERIFY(rig.detector.recentFrames().empty());
    }

    void calibrationAndMissingBaseline() {
        Rig rig(false);
        // No baseline, no calibration: every frame is "calibrating" and never alerts.
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(rig.frame(slouched()), PostureStatus::calibrating);
        }
        QVERIFY(!rig.detector.slouchAlertActive());

        rig.analyzer.startCalibration();
        for (int i = 0; i < 9; ++i) {
            QCOMPARE(rig.frame(upright()), PostureStatus::calibrating);
        }
        QCOMPARE(rig.frame(upright()), PostureStatus::good);
        QVERIFY(rig.analyzer.isCalibrated());
        QCOMPARE(rig.settings.baselineShoulderWidth(), 0.5);
    }

    void releasedDetectorDropsPendingWork() {
        Rig rig;
        auto detector = std::make_unique<PostureDetector>(
            rig.analyzer, rig.overlays, rig.settings, rig.log,
            [s = rig.script](QString*) -> std::unique_ptr<PoseEstimator> {
                return std::make_unique<ScriptedEstimator>(s);
            },
            rig.clock.clock());
        rig.script->push_back(slouched());
        detector->processFrame(cv::Mat()); // posts to the main thread
        detector.reset();
        QCoreApplication::processEvents(); // nothing runs, nothing crashes
    }

    void modelThatCannotLoadIsReported() {
        Rig rig;
        PostureDetector detector(rig.analyzer, rig.overlays, rig.settings, rig.log,
                                 [](QString* error) -> std::unique_ptr<PoseEstimator> {
                                     *error = QStringLiteral(
                                         "Pose model could not be loaded: file missing");
                                     return nullptr;
                                 });
        QSignalSpy failed(&detector, &PostureDetector::poseEstimatorFailed);
        detector.processFrame(cv::Mat());
        detector.processFrame(cv::Mat());
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), "Pose model could not be loaded: file missing");
        QCOMPARE(detector.currentStatus(), PostureStatus::notMonitoring);
    }

    // The real model on a real photo: upright calibrates, the same photo sunk and shrunk as
    // a slouch would make it raises the overlay, sitting up ends it and logs one episode.
    void endToEndWithTheRealModel() {
        const cv::Mat upright = cv::imread(testDataPath("astronaut.png").toStdString());
        QVERIFY(!upright.empty());
        const double w = upright.cols, h = upright.rows;
        const cv::Mat sink = (cv::Mat_<double>(2, 3) << 0.85, 0, 0.15 * w / 2, //
                              0, 0.85, 0.15 * h + 0.08 * h);
        cv::Mat slouch;
        cv::warpAffine(upright, slouch, sink, upright.size(), cv::INTER_LINEAR,
                       cv::BORDER_REPLICATE);

        Rig rig(false);
        PostureDetector detector(rig.analyzer, rig.overlays, rig.settings, rig.log,
                                 defaultPoseEstimatorFactory(), rig.clock.clock());
        rig.overlays.onDismiss = [&](OverlayType type) {
            if (type == OverlayType::slouch) {
                detector.markSlouchAlertDismissed();
            }
        };
        auto frame = [&](const cv::Mat& image) {
            detector.processFrame(image);
            QCoreApplication::processEvents();
            rig.timers.advance(std::chrono::milliseconds(0));
            QCoreApplication::processEvents();
            return detector.currentStatus();
        };
        rig.analyzer.startCalibration();
        for (int i = 0; i < 10; ++i) {
            frame(upright);
        }
        QVERIFY(rig.analyzer.isCalibrated());
        QCOMPARE(frame(upright), PostureStatus::good);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(frame(slouch), PostureStatus::slouching);
        }
        QVERIFY(rig.overlays.isShowing());
        QVERIFY(rig.overlays.currentType() == OverlayType::slouch);
        rig.clock.advance(12);
        frame(upright);
        frame(upright);
        QVERIFY(!rig.overlays.isShowing());
        QCOMPARE(rig.log.events().size(), 1);
        QCOMPARE(rig.log.events().first().duration, 12.0);
        QVERIFY(readFile(rig.log.filePath()).contains("\"duration\":12}"));
    }
};

QTEST_MAIN(TestPostureDetector)
#include "tst_posture_detector.moc"
