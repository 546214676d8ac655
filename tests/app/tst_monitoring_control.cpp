#include "app/MonitoringControl.h"
#include "overlay/OverlayWindowController.h"
#include "posture/PostureAnalyzer.h"
#include "stats/PostureLog.h"
#include "support/AppRig.h"

#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quorvel;
using namespace quorvel::test;

namespace {

// A monitoring control on a private store and log, scripted cameras and pose model, and a
// camera permission that the test answers.
struct ControlRig {
    TempFolder dir;
    FakeTimers timers;
    std::shared_ptr<CameraLog> cameras = std::make_shared<CameraLog>();
    PoseScript poses = std::make_shared<std::deque<PoseResult>>();
    std::vector<std::function<void(bool)>> asks;
    SettingsManager settings{dir.path("Quorvel.conf")};
    PostureAnalyzer analyzer{settings};
    OverlayWindowController overlays{settings, FakeScreens::two(), OverlayTimings{0, 0, {0, 0, 0}},
                                     timers.factory()};
    PostureLog log{dir.path("posture-log.json")};
    std::unique_ptr<MonitoringControl> control;
    std::vector<QString> told; // both signals, in order

    explicit ControlRig(PoseEstimatorFactory estimators = {}) {
        MonitoringControl::Parts parts;
        parts.requestPermission = [this](QObject*, std::function<void(bool)> answer) {
            asks.push_back(std::move(answer));
        };
        parts.camera.makeFrameSource = [log = cameras]() -> std::unique_ptr<FrameSource> {
            return std::make_unique<ScriptedFrameSource>(log->make());
        };
        parts.camera.stallTimeout = std::chrono::hours(1);
        parts.poseEstimators = estimators ? std::move(estimators) : scriptedEstimators(poses);
        control = std::make_unique<MonitoringControl>(std::move(parts), analyzer, overlays,
                                                      settings, log);
        QObject::connect(control.get(), &MonitoringControl::postureStatusChanged,
                         [this](PostureStatus s) { told.push_back(rawValue(s)); });
        QObject::connect(control.get(), &MonitoringControl::errorChanged,
                         [this](std::optional<QString> e) {
                             told.push_back(e.value_or(QStringLiteral("(no error)")));
                         });
        settings.setPostureMonitoringEnabled(true);
    }
};

} // namespace

class TestMonitoringControl : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Yes: the camera runs with the detector as its delegate, no error, then the detector's
    // first verdict. No: the refusal, "not monitoring", monitoring switched off, no camera.
    void answers() {
        ControlRig rig;
        rig.control->start();
        QCOMPARE(int(rig.asks.size()), 1);
        rig.asks.back()(true);
        QVERIFY(rig.control->isRunning());
        QCOMPARE(rig.control->cameraManager()->delegate(),
                 static_cast<CameraFrameDelegate*>(rig.control->postureDetector()));
        // The last "(no error)" comes from the camera thread once the device is open.
        QTRY_COMPARE(rig.told,
                     (std::vector<QString>{"(no error)", "Not monitoring", "(no error)"}));
        QTRY_COMPARE(rig.cameras->open(), 1);

        rig.told.clear();
        rig.control->start();
        rig.asks.back()(false);
        QVERIFY(!rig.control->isRunning());
        QCOMPARE(rig.told, (std::vector<QString>{MonitoringControl::cameraDeniedMessage(),
                                                 "Not monitoring"}));
        QVERIFY(!rig.settings.postureMonitoringEnabled());
        QTRY_COMPARE(rig.cameras->alive(), 0);
    }

    // An answer to a start that stop() or a later start() overtook, or that comes after
    // monitoring was switched off, does nothing.
    void lateAnswers() {
        ControlRig rig;
        rig.control->start();
        rig.control->stop();
        rig.asks.at(0)(true);
        rig.control->start();
        rig.settings.setPostureMonitoringEnabled(false);
        rig.asks.at(1)(false);
        rig.settings.setPostureMonitoringEnabled(true);
        rig.control->start();
        rig.asks.at(1)(true);
        QVERIFY(!rig.control->isRunning());
        QVERIFY(rig.told.empty());
        QVERIFY(rig.settings.postureMonitoringEnabled());
        rig.asks.at(2)(true);
        QVERIFY(rig.control->isRunning());
    }

    // A pose model whose file never answers (a stalled disk, a hung network home; here a FIFO
    // that nobody writes) holds up neither switching monitoring off nor the camera: stop()
    // returns while the model still loads, and the camera closes.
    void stopsWhileTheModelHangs() {
        TempFolder models;
        const QByteArray fifo = models.path(MoveNetEstimator::modelFileName).toLocal8Bit();
        QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
        auto unblock = [&fifo] {
            ::close(::open(fifo.constData(), O_WRONLY));
        };
        std::atomic<bool> loading{false};
        std::atomic<bool> loaded{false};
        const PoseEstimatorFactory real = defaultPoseEstimatorFactory(models.path());
        ControlRig rig([&](QString* error) {
            loading = true;
            auto estimator = real(error);
            loaded = true;
            return estimator;
        });
        rig.control->start();
        rig.asks.back()(true);
        QTRY_COMPARE(rig.cameras->open(), 1);
        rig.cameras->source(0)->addFrames(CameraManager::processEveryNthFrame);
        QTRY_VERIFY(loading.load());

        // Should stop() wait for the model, the watchdog ends the wait, and says so.
        std::mutex mutex;
        std::condition_variable stopped;
        bool stopReturned = false;
        bool hadToUnblock = false;
        std::thread watchdog([&] {
            std::unique_lock lock(mutex);
            if (!stopped.wait_for(lock, std::chrono::seconds(30), [&] { return stopReturned; })) {
                hadToUnblock = true;
                unblock();
            }
        });
        rig.control->stop();
        {
            const std::lock_guard lock(mutex);
            stopReturned = true;
        }
        stopped.notify_all();
        watchdog.join();
        QVERIFY2(!hadToUnblock, "stop() waited for the pose model to load");
        QTRY_COMPARE(rig.cameras->alive(), 0);
        QVERIFY(!loaded.load());

        unblock(); // the loading thread ends: an empty file is no model
        QTRY_VERIFY(loaded.load());
    }
};

QTEST_MAIN(TestMonitoringControl)
#include "tst_monitoring_control.moc"
