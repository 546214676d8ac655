#include "overlay/OverlayWindowController.h"
#include "posture/PostureDetector.h"
#include "stats/PostureLog.h"
#include "support/FakeScreens.h"
#include "support/FakeTimers.h"
#include "support/ScriptedPoses.h"
#include "support/TestSupport.h"

#include <QTest>

using namespace quorvel;
using namespace quorvel::test;

namespace {

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
    PoseScript script = std::make_shared<std::deque<PoseResult>>();
    std::unique_ptr<PostureDetector> detector;

    explicit Rig(bool calibrated = true, PoseEstimatorFactory estimators = {}) {
        if (calibrated) {
            settings.setBaselineShoulderWidth(0.5);
            settings.setBaselineShoulderY(0.5);
            settings.setIsCalibrated(true);
        }
        detector = std::make_unique<PostureDetector>(
            analyzer, overlays, settings, log, estimators ? estimators : scriptedEstimators(script),
            clock.clock());
        overlays.onDismiss = [this](OverlayType type) {
            if (type == OverlayType::slouch && detector) {
                detector->markSlouchAlertDismissed();
            }
        };
    }

    // One forwarded frame, then the main-thread work it posted.
    PostureStatus frame(const cv::Mat& image) {
        detector->processFrame(image);
        QCoreApplication::processEvents();
        timers.advance(std::chrono::milliseconds(0));
        QCoreApplication::processEvents();
        return detector->currentStatus();
    }
    PostureStatus frame(PoseResult result) {
        script->push_back(std::move(result));
        return frame(cv::Mat());
    }
    // One frame per letter: 'G' upright, 'S' slouched, 'N' nobody.
    void frames(const char* verdicts) {
        for (; *verdicts; ++verdicts) {
            frame(*verdicts == 'S' ? slouched() : *verdicts == 'G' ? upright() : nobody());
        }
    }
    bool alert() const { return detector->slouchAlertActive(); }
    int slouchingInWindow() const {
        const auto& w = detector->recentFrames();
        return static_cast<int>(std::count(w.begin(), w.end(), PostureStatus::slouching));
    }
};

} // namespace

class TestPostureDetector : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Six slouching verdicts among the last ten raise the overlay.
    void slidingWindow_data() {
        QTest::addColumn<QByteArray>("verdicts");
        QTest::addColumn<bool>("alert");
        QTest::newRow("five slouching") << QByteArray("SSSSS") << false;
        QTest::newRow("six slouching") << QByteArray("SSSSSS") << true;
        QTest::newRow("alternating") << QByteArray("GSGSGSGSGS") << false;
        QTest::newRow("five in ten") << QByteArray("GSSSSSGGGG") << false;
        QTest::newRow("first one slid out") << QByteArray("GSSSSSGGGGS") << true;
    }
    void slidingWindow() {
        QFETCH(QByteArray, verdicts);
        QFETCH(bool, alert);
        Rig rig;
        rig.frames(verdicts.constData());
        QCOMPARE(rig.alert(), alert);
        QCOMPARE(rig.overlays.isShowing(), alert);
        if (alert) {
            QVERIFY(rig.overlays.currentType() == OverlayType::slouch);
            QVERIFY(!rig.overlays.hasAutoDismissTask());
            QVERIFY(rig.detector->recentFrames().empty());
        }
    }

    void twoConsecutiveGoodFramesEndTheAlertAndLogItThenCooldown() {
        Rig rig;
        rig.frames("SSSSSS");
        const QDateTime raised = rig.clock.now();
        rig.clock.advance(10);
        rig.frames("GSGN"); // a slouch resets the count; no person neither advances nor resets
        QVERIFY(rig.alert());
        rig.clock.advance(5);
        rig.frame(upright());
        QVERIFY(!rig.alert() && !rig.overlays.isShowing());
        QCOMPARE(rig.log.events().size(), 1);
        QCOMPARE(rig.log.events().first().startedAt, raised);
        QCOMPARE(rig.log.events().first().duration, 15.0);

        // A minute of cooldown from the end of the alert holds off the next one.
        rig.clock.advance(30);
        rig.frames("SSSSSS");
        QVERIFY(!rig.alert());
        rig.clock.advance(31);
        rig.frame(slouched());
        QVERIFY(rig.alert());
    }

    void userDismissalLogsOnceAndKeepsTheGoodCount() {
        Rig rig;
        rig.frames("SSSSSSG"); // one good frame seen
        rig.clock.advance(7);
        rig.overlays.dismiss(); // the user's click
        QVERIFY(!rig.alert());
        QCOMPARE(rig.log.events().size(), 1);
        QCOMPARE(rig.log.events().first().duration, 7.0);
        QVERIFY(rig.detector->recentFrames().empty());

        // After the cooldown, the next alert ends at its first good frame.
        rig.clock.advance(61);
        rig.frames("SSSSSS");
        QVERIFY(rig.alert());
        rig.frame(upright());
        QVERIFY(!rig.alert());
        QCOMPARE(rig.log.events().size(), 2);
    }

    // Sitting up ends only the slouch overlay: a break reminder on screen stays, and a
    // slouch overlay waiting behind it is dropped; the episode is logged once either way.
    void sittingUpEndsOnlyTheSlouchOverlay() {
        for (const bool slouchOnScreen : {false, true}) {
            Rig rig;
            if (!slouchOnScreen) {
                rig.overlays.show(OverlayType::stand, 0);
            }
            rig.frames("SSSSSS");
            rig.overlays.show(OverlayType::water, 0);
            rig.frames("GG");
            QVERIFY(!rig.alert());
            QCOMPARE(rig.overlays.currentType(),
                     slouchOnScreen ? OverlayType::water : OverlayType::stand);
            QCOMPARE(rig.overlays.overlayQueue(),
                     slouchOnScreen ? QList<OverlayType>{} : QList{OverlayType::water});
            QCOMPARE(rig.log.events().size(), 1);
        }
    }

    void framesWithoutAUsablePerson() {
        Rig rig;
        rig.frames("SSS");
        QCOMPARE(rig.frame(failure()), PostureStatus::noPersonDetected);
        QCOMPARE(rig.slouchingInWindow(), 3); // a failed request keeps the window
        QCOMPARE(rig.frame(person(0.4, 0.5, 0.2f)), PostureStatus::noPersonDetected); // neck
        QVERIFY(rig.detector->recentFrames().empty());
        rig.frames("SSS");
        PoseResult missingEar = upright();
        missingEar.observations[0].points[static_cast<size_t>(PoseJointName::leftEar)].reset();
        QCOMPARE(rig.frame(missingEar), PostureStatus::noPersonDetected);
        QVERIFY(rig.detector->recentFrames().empty());
    }

    void releasedDetectorDropsPendingWork() {
        Rig rig;
        rig.script->push_back(slouched());
        rig.detector->processFrame(cv::Mat()); // posts to the main thread
        rig.detector.reset();
        QCoreApplication::processEvents(); // nothing runs, nothing crashes
    }

    // The real model on a real photo: upright calibrates, the same photo sunk and shrunk as
    // a slouch would make it raises the overlay, sitting up ends it and logs one episode.
    void endToEndWithTheRealModel() {
        const auto [upright, slouch] = uprightAndSlouchedPhoto();
        QVERIFY(!upright.empty());
        Rig rig(false, defaultPoseEstimatorFactory());
        rig.analyzer.startCalibration();
        for (int i = 0; i < 10; ++i) {
            rig.frame(upright);
        }
        QVERIFY(rig.analyzer.isCalibrated());
        QCOMPARE(rig.frame(upright), PostureStatus::good);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(rig.frame(slouch), PostureStatus::slouching);
        }
        QVERIFY(rig.overlays.isShowing() && rig.overlays.currentType() == OverlayType::slouch);
        rig.clock.advance(12);
        rig.frame(upright);
        rig.frame(upright);
        QVERIFY(!rig.overlays.isShowing());
        QCOMPARE(rig.log.events().size(), 1);
        QVERIFY(readFile(rig.log.filePath()).contains("\"duration\":12}"));
    }
};

QTEST_MAIN(TestPostureDetector)
#include "tst_posture_detector.moc"
