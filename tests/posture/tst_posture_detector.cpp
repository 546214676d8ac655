#include "stats/PostureLog.h"
#include "support/AppRig.h"

#include <QTest>

using namespace quorvel;
using namespace quorvel::test;

namespace {

// The detector of an app that monitors, on a calibrated baseline (width 0.5, height 0.5,
// Medium) unless `tweak` changes the environment.
struct Rig : AppRig {
    explicit Rig(const std::function<void(AppStateEnvironment&)>& tweak = {}) : AppRig({}, false) {
        launch(tweak);
        if (!tweak) {
            calibrate();
        }
        startMonitoring();
    }
    PostureDetector& detector() const { return *monitoring->postureDetector(); }
    bool alert() const { return detector().slouchAlertActive(); }
    // One frame per letter: 'G' upright, 'S' slouched, 'N' nobody.
    void frames(const char* verdicts) {
        for (; *verdicts; ++verdicts) {
            frame(*verdicts == 'S' ? slouched() : *verdicts == 'G' ? upright() : nobody());
        }
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
        QCOMPARE(rig.overlays->isShowing(), alert);
        if (alert) {
            QVERIFY(rig.overlays->currentType() == OverlayType::slouch);
            QVERIFY(!rig.overlays->hasAutoDismissTask());
            QVERIFY(rig.detector().recentFrames().empty());
        }
    }

    // Two good frames in a row end the alert (a slouch resets the count; no person neither
    // advances nor resets it) and log the episode with its stamp and its real length: setting
    // the clock meanwhile (NTP, by hand) moves no length of time, and the cool-down of a
    // minute from the end of the alert is a real minute.
    void twoGoodFramesEndTheAlertAndLogIt() {
        for (const double step : {0.0, 3600.0, -3600.0}) {
            Rig rig;
            rig.frames("SSSSSS");
            const QDateTime raised = rig.clock.now();
            rig.clock.advance(10);
            rig.clock.step(step);
            rig.frames("GSGN");
            QVERIFY(rig.alert());
            rig.clock.advance(10);
            rig.frame(upright());
            QVERIFY(!rig.alert() && !rig.overlays->isShowing());
            QCOMPARE(rig.log->events().size(), 1);
            QCOMPARE(rig.log->events().first().startedAt, raised);
            QCOMPARE(rig.log->events().first().duration, 20.0);
            rig.clock.step(-step);
            rig.clock.advance(30);
            rig.frames("SSSSSS");
            QVERIFY(!rig.alert());
            rig.clock.advance(31);
            rig.frame(slouched());
            QVERIFY(rig.alert());
        }
    }

    void userDismissalLogsOnceAndForgetsTheGoodCount() {
        Rig rig;
        rig.frames("SSSSSSG"); // one good frame seen
        rig.clock.advance(7);
        rig.overlays->dismiss(); // the user's click
        QVERIFY(!rig.alert());
        QCOMPARE(rig.log->events().size(), 1);
        QCOMPARE(rig.log->events().first().duration, 7.0);
        QVERIFY(rig.detector().recentFrames().empty());

        // After the cooldown, the next alert takes two good frames of its own to end.
        rig.clock.advance(61);
        rig.frames("SSSSSS");
        QVERIFY(rig.alert());
        rig.frame(upright());
        QVERIFY(rig.alert());
        rig.frame(upright());
        QVERIFY(!rig.alert());
        QCOMPARE(rig.log->events().size(), 2);
    }

    // An alert that waits behind a break reminder never ends by itself when its turn comes:
    // only sitting up or the user ends it.
    void aWaitingAlertKeepsWaitingForTheUser() {
        Rig rig;
        rig.overlays->show(OverlayType::stand, 30);
        rig.frames("SSSSSS");
        QCOMPARE(rig.overlays->overlayQueue(), QList{OverlayType::slouch});
        rig.overlays->dismiss();
        QTRY_COMPARE(rig.overlays->currentType(), OverlayType::slouch);
        QVERIFY(!rig.overlays->hasAutoDismissTask());
        rig.timers.advance(std::chrono::minutes(5));
        QVERIFY(rig.alert() && rig.overlays->isShowing());
        QVERIFY(rig.log->events().isEmpty());
    }

    // A user who leaves in the middle of a slouch: away ends the alert and its overlay, and
    // the episode ends at the last frame that saw them, not an hour later; a clock set back
    // meanwhile delays nothing.
    void leavingEndsTheAlertWhereTheUserWasLastSeen() {
        Rig rig;
        rig.frames("SSSSSS");
        rig.clock.advance(20);
        rig.frame(slouched()); // last seen
        rig.clock.step(-3600);
        for (int minute = 0; minute < 6; ++minute) {
            rig.frame(nobody());
            rig.clock.advance(60);
            rig.timers.advance(std::chrono::minutes(1));
        }
        QVERIFY(rig.presence->policy().isAway());
        QVERIFY(!rig.alert());
        QTRY_VERIFY(!rig.overlays->isShowing());
        QCOMPARE(rig.log->events().size(), 1);
        QCOMPARE(rig.log->events().first().duration, 20.0);
    }

    // Quit (or the session ending), or monitoring switched off, in the middle of a slouch:
    // the episode is logged with its time so far, and no slouch overlay is left behind.
    void stoppingLogsTheEpisodeUnderWay() {
        for (const bool quit : {true, false}) {
            Rig rig;
            rig.frames("SSSSSS");
            rig.clock.advance(12);
            if (quit) {
                rig.state->shutdown();
            } else {
                rig.state->togglePostureMonitoring(false);
                QTRY_VERIFY(!rig.overlays->isShowing());
            }
            QCOMPARE(rig.log->events().size(), 1);
            QCOMPARE(rig.log->events().first().duration, 12.0);
            QVERIFY(!rig.monitoring->isRunning());
        }
    }

    // Sitting up ends only the slouch overlay: a break reminder on screen stays, and a
    // slouch overlay waiting behind it is dropped; the episode is logged once either way.
    void sittingUpEndsOnlyTheSlouchOverlay() {
        for (const bool slouchOnScreen : {false, true}) {
            Rig rig;
            if (!slouchOnScreen) {
                rig.overlays->show(OverlayType::stand, 0);
            }
            rig.frames("SSSSSS");
            rig.overlays->show(OverlayType::water, 0);
            rig.frames("GG");
            QVERIFY(!rig.alert());
            QCOMPARE(rig.overlays->currentType(),
                     slouchOnScreen ? OverlayType::water : OverlayType::stand);
            QCOMPARE(rig.overlays->overlayQueue(),
                     slouchOnScreen ? QList<OverlayType>{} : QList{OverlayType::water});
            QCOMPARE(rig.log->events().size(), 1);
        }
    }

    // What clears the detector's window: only a slouch overlay's end (which alone reaches the
    // detector), and a frame without a usable person, not a failed request.
    void whatClearsTheWindow() {
        Rig rig;
        rig.frames("SSS");
        for (OverlayType type : {OverlayType::stand, OverlayType::water, OverlayType::slouch}) {
            QCOMPARE(rig.detector().recentFrames().size(), std::size_t(3));
            rig.overlays->show(type, 0);
            rig.overlays->dismiss();
        }
        QVERIFY(rig.detector().recentFrames().empty());
        rig.frames("SSS");
        QCOMPARE(rig.frame(PoseResult{true, "engine failed", {}}), PostureStatus::noPersonDetected);
        QCOMPARE(rig.detector().recentFrames().size(),
                 std::size_t(3)); // a failed request keeps the window
        QCOMPARE(rig.frame(person(0.4, 0.5, 0.2f)), PostureStatus::noPersonDetected); // neck
        QVERIFY(rig.detector().recentFrames().empty());
        rig.frames("SSS");
        PoseResult missingEar = upright();
        missingEar.observations[0].points[static_cast<size_t>(PoseJointName::leftEar)].reset();
        QCOMPARE(rig.frame(missingEar), PostureStatus::noPersonDetected);
        QVERIFY(rig.detector().recentFrames().empty());
        // The tools calibrate by the same rule, so they refuse the low neck too.
        QVERIFY(PostureDetector::usableJoints(upright()));
        QVERIFY(!PostureDetector::usableJoints(person(0.4, 0.5, 0.2f)));
    }

    void releasedDetectorDropsPendingWork() {
        Rig rig;
        rig.poses->push_back(slouched());
        rig.detector().processFrame(cv::Mat()); // posts to the main thread
        rig.state->togglePostureMonitoring(false);
        QCoreApplication::processEvents(); // nothing runs, nothing crashes
    }

    // The real model on a real photo: upright calibrates, the same photo sunk and shrunk as
    // a slouch would make it raises the overlay, sitting up ends it and logs one episode.
    void endToEndWithTheRealModel() {
        const auto [upright, slouch] = uprightAndSlouchedPhoto();
        QVERIFY(!upright.empty());
        Rig rig(
            [](AppStateEnvironment& env) { env.poseEstimators = defaultPoseEstimatorFactory(); });
        const auto frame = [&rig](const cv::Mat& image) {
            rig.detector().processFrame(image);
            AppRig::turn();
            return rig.state->postureStatus();
        };
        rig.analyzer->startCalibration();
        for (int i = 0; i < 10; ++i) {
            frame(upright);
        }
        QVERIFY(rig.analyzer->isCalibrated());
        QCOMPARE(frame(upright), PostureStatus::good);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(frame(slouch), PostureStatus::slouching);
        }
        QVERIFY(rig.overlays->isShowing() && rig.overlays->currentType() == OverlayType::slouch);
        rig.clock.advance(12);
        frame(upright);
        frame(upright);
        QVERIFY(!rig.overlays->isShowing());
        QCOMPARE(rig.log->events().size(), 1);
        QVERIFY(readFile(rig.log->filePath()).contains("\"duration\":12}"));
    }
};

QTEST_MAIN(TestPostureDetector)
#include "tst_posture_detector.moc"
