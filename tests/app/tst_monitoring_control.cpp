#include "support/AppRig.h"

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

// The monitoring control of an app with monitoring switched on, both its signals written down
// in order.
struct ControlRig : AppRig {
    std::vector<QString> told;

    explicit ControlRig(PoseEstimatorFactory estimators = {}) : AppRig({}, false) {
        launch([&](AppStateEnvironment& env) {
            if (estimators) {
                env.poseEstimators = std::move(estimators);
            }
        });
        QObject::connect(monitoring, &MonitoringControl::postureStatusChanged,
                         [this](PostureStatus s) { told.push_back(rawValue(s)); });
        QObject::connect(monitoring, &MonitoringControl::errorChanged,
                         [this](std::optional<QString> e) {
                             told.push_back(e.value_or(QStringLiteral("(no error)")));
                         });
        settings->setPostureMonitoringEnabled(true);
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
        rig.monitoring->start();
        QCOMPARE(int(rig.permissionAsks.size()), 1);
        rig.permissionAsks.back()(true);
        QVERIFY(rig.monitoring->isRunning());
        QCOMPARE(rig.monitoring->cameraManager()->delegate(),
                 static_cast<CameraFrameDelegate*>(rig.monitoring->postureDetector()));
        // Then the new camera's current "no error", and its own once the device is open.
        QTRY_COMPARE(rig.cameras->open(), 1);
        QTRY_COMPARE(rig.told, (std::vector<QString>{"(no error)", "Not monitoring", "(no error)",
                                                     "(no error)"}));

        rig.told.clear();
        rig.monitoring->start();
        rig.permissionAsks.back()(false);
        QVERIFY(!rig.monitoring->isRunning());
        QCOMPARE(rig.told, (std::vector<QString>{MonitoringControl::cameraDeniedMessage(),
                                                 "Not monitoring"}));
        QVERIFY(!rig.settings->postureMonitoringEnabled());
        QTRY_COMPARE(rig.cameras->alive(), 0);
    }

    // An answer to a start that stop() or a later start() overtook, or that comes after
    // monitoring was switched off, does nothing.
    void lateAnswers() {
        ControlRig rig;
        rig.monitoring->start();
        rig.monitoring->stop();
        rig.permissionAsks.at(0)(true);
        rig.monitoring->start();
        rig.settings->setPostureMonitoringEnabled(false);
        rig.permissionAsks.at(1)(false);
        rig.settings->setPostureMonitoringEnabled(true);
        rig.monitoring->start();
        rig.permissionAsks.at(1)(true);
        QVERIFY(!rig.monitoring->isRunning());
        QVERIFY(rig.told.empty());
        QVERIFY(rig.settings->postureMonitoringEnabled());
        rig.permissionAsks.at(2)(true);
        QVERIFY(rig.monitoring->isRunning());
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
        rig.monitoring->start();
        rig.permissionAsks.back()(true);
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
        rig.monitoring->stop();
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
