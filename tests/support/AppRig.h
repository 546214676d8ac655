#pragma once

#include "app/AppState.h"
#include "support/FakeScreens.h"
#include "support/FakeTimers.h"
#include "support/ScriptedFrameSource.h"
#include "support/ScriptedPoses.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QMutex>
#include <QStringList>
#include <QTest>
#include <functional>
#include <memory>
#include <vector>

namespace quorvel::test {

// Every frame source the camera managers made, each with a script of its own (they deliver
// nothing unless told). Filled on camera threads.
struct CameraLog {
    mutable QMutex mutex;
    std::vector<std::shared_ptr<FrameScript>> sources;
    bool refuseOpen = false; // sources made from now on fail to open ("Device or resource busy")

    std::shared_ptr<FrameScript> make() {
        QMutexLocker lock(&mutex);
        sources.push_back(std::make_shared<FrameScript>());
        sources.back()->refuseOpen = refuseOpen;
        return sources.back();
    }
    int made() const {
        QMutexLocker lock(&mutex);
        return int(sources.size());
    }
    std::shared_ptr<FrameScript> source(int i) const {
        QMutexLocker lock(&mutex);
        return sources.at(static_cast<size_t>(i));
    }
    // Sources open, and sources not yet destroyed.
    int open() const { return count(&FrameScript::isOpen); }
    int alive() const { return count(&FrameScript::alive); }
    void setRefuseOpen(bool refuse) {
        QMutexLocker lock(&mutex);
        refuseOpen = refuse;
    }

private:
    template <typename T> int count(T FrameScript::*field) const {
        QMutexLocker lock(&mutex);
        int n = 0;
        for (const auto& s : sources) {
            n += int(s->read(field));
        }
        return n;
    }
};

// An AppState on a private store and log, two stand-in screens, instant fades, virtual
// timers and clock, scripted cameras and pose model, a camera permission that the test
// answers, and no session buses (the user is always there).
struct AppRig {
    TempFolder dir;
    FakeClock clock;
    FakeTimers timers;
    std::shared_ptr<CameraLog> cameras = std::make_shared<CameraLog>();
    PoseScript poses = std::make_shared<std::deque<PoseResult>>();
    std::vector<std::function<void(bool)>> permissionAsks;
    // What start-up did, in order: "timer" per timer started, "update" per update check.
    QStringList startUp;
    std::vector<std::function<void()>> timerCallbacks;
    std::unique_ptr<SettingsManager> settings;
    // The launched state's parts, kept a hold on to watch and drive them.
    OverlayWindowController* overlays = nullptr;
    PostureLog* log = nullptr;
    UpdateChecker* updates = nullptr;
    PostureAnalyzer* analyzer = nullptr;
    MonitoringControl* monitoring = nullptr;
    BreakReminders* reminders = nullptr;
    PresenceMonitor* presence = nullptr;
    std::unique_ptr<AppState> state;

    // `preferences`: the store file before launch ("[General]\nkey=value\n...").
    explicit AppRig(const QByteArray& preferences = {}, bool launchNow = true) {
        if (!preferences.isEmpty()) {
            writeFile(dir.path("Quorvel.conf"), preferences);
        }
        settings = std::make_unique<SettingsManager>(dir.path("Quorvel.conf"));
        if (launchNow) {
            launch();
        }
    }

    AppStateEnvironment environment() {
        AppStateEnvironment env;
        env.settings = settings.get();
        env.postureLogPath = dir.path("posture-log.json");
        env.clock = clock.clock();
        env.monotonic = clock.monotonic();
        env.requestCameraPermission = [this](QObject*, std::function<void(bool)> answer) {
            permissionAsks.push_back(std::move(answer));
        };
        env.camera.makeFrameSource = [log = cameras]() -> std::unique_ptr<FrameSource> {
            return std::make_unique<ScriptedFrameSource>(log->make());
        };
        env.camera.stallTimeout = std::chrono::hours(1);
        env.poseEstimators = scriptedEstimators(poses);
        env.screens = [] {
            return FakeScreens::two();
        };
        env.overlayTimings = OverlayTimings{0, 0, {0, 0, 0}};
        env.timers = [this, inner = timers.factory()](std::chrono::milliseconds interval,
                                                      bool repeating, std::function<void()> fn) {
            startUp << QStringLiteral("timer");
            timerCallbacks.push_back(fn);
            return inner(interval, repeating, std::move(fn));
        };
        env.updates.baseURL.clear(); // nothing is sent
        env.presence = PresenceEnvironment::none();
        env.updates.clock = [this] {
            startUp << QStringLiteral("update"); // read once by each checkIfNeeded()
            return clock.now();
        };
        return env;
    }

    // Launches on environment(), changed first by `tweak` if given.
    AppState& launch(const std::function<void(AppStateEnvironment&)>& tweak = {}) {
        AppStateEnvironment env = environment();
        if (tweak) {
            tweak(env);
        }
        AppParts parts = AppParts::make(env);
        overlays = parts.overlayController.get();
        log = parts.postureLog.get();
        updates = parts.updateChecker.get();
        analyzer = parts.postureAnalyzer.get();
        monitoring = parts.monitoring.get();
        reminders = parts.reminders.get();
        presence = parts.presence.get();
        state = std::make_unique<AppState>(std::move(parts));
        return *state;
    }
    PanelStores stores() const { return {*settings, *log}; }

    static void turn() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
    }

    // Answers the latest permission request once it has been made.
    void answer(bool granted) {
        turn();
        QVERIFY(!permissionAsks.empty());
        permissionAsks.back()(granted);
        turn();
    }
    void startMonitoring() {
        state->togglePostureMonitoring(true);
        answer(true);
    }
    // One frame through the detector (as the camera thread would pass it), then its
    // main-thread work and AppState's delivery.
    PostureStatus frame(PoseResult result) {
        poses->push_back(std::move(result));
        monitoring->postureDetector()->processFrame(cv::Mat());
        turn();
        return state->postureStatus();
    }
    void calibrate() {
        settings->setBaselineShoulderWidth(0.5);
        settings->setBaselineShoulderY(0.5);
        settings->setIsCalibrated(true);
    }
};

} // namespace quorvel::test
