#pragma once

#include "app/MonitoringControl.h"
#include "camera/CameraManager.h"
#include "common/Clock.h"
#include "common/TimerFactory.h"
#include "menubar/PanelModel.h"
#include "overlay/OverlayWindowController.h"
#include "posture/PostureAnalyzer.h"
#include "posture/PostureDetector.h"
#include "posture/PostureModels.h"
#include "presence/PresenceMonitor.h"
#include "settings/SettingsManager.h"
#include "updates/UpdateChecker.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>

namespace quorvel {

class OverlayWindowController;
class PostureLog;
class ScreenProvider;
class ReminderManager;
class StandReminderManager;
class WaterReminderManager;

// What the application state is made with. Defaults are the real parts; tests replace the
// camera, the pose model, the permission answer, the screens, the timers and the clock.
struct AppStateEnvironment {
    SettingsManager* settings = nullptr; // null: the user's store
    QString postureLogPath;              // empty: the user's log
    Clock clock = systemClock();
    // Answers on the main thread, later, whether the camera may be used.
    CameraPermissionRequest requestCameraPermission;
    CameraManagerOptions camera;
    PoseEstimatorFactory poseEstimators = defaultPoseEstimatorFactory();
    std::function<std::unique_ptr<ScreenProvider>()> screens; // empty: the real screens
    OverlayTimings overlayTimings;
    TimerFactory timers = eventLoopTimers();
    UpdateCheckerEnvironment updates;
    PresenceEnvironment presence;
};

// Creates, owns and connects every component, restores the user's last choices at start-up
// and carries the user's commands to the components. Main thread only.
//
// While the user is away (see PresencePolicy) it holds still: locked or asleep, the camera is
// let go (the monitoring choice stays), the slouch overlay ends, and a calibration under way
// is cancelled and begins again, with its prompt, when the user is back. Every command from
// the panel counts as the user being at the computer.
class AppState : public PanelModel, private BreakControls {
    Q_OBJECT

public:
    static constexpr const QString& cameraDeniedMessage = MonitoringControl::cameraDeniedMessage;

    explicit AppState(AppStateEnvironment environment = {}, QObject* parent = nullptr);
    ~AppState() override;

    SettingsManager& settings() const override { return m_settings; }
    OverlayWindowController& overlayController() const { return *m_overlayController; }
    PostureAnalyzer& postureAnalyzer() const { return *m_postureAnalyzer; }
    PostureLog& postureLog() const override { return *m_postureLog; }
    UpdateChecker& updateChecker() const { return *m_updateChecker; }
    PostureStatus postureStatus() const override { return m_postureStatus; }
    bool isCalibrated() const override;
    std::optional<QString> cameraError() const override { return m_cameraError; }
    // Why everything holds still now (locked, asleep), if it does; see pauseReasonText().
    std::optional<PauseReason> pauseReason() const override {
        return m_presence->policy().pauseReason();
    }
    QString standTimeRemaining() override;
    QString waterTimeRemaining() override;
    std::optional<UpdateInfo> updateInfo() const override;

    // Created on first access, then kept.
    StandReminderManager& standManager();
    WaterReminderManager& waterManager();
    bool hasStandManager() const { return m_standManager != nullptr; }
    bool hasWaterManager() const { return m_waterManager != nullptr; }

    // Whether the camera pipeline exists (monitoring runs).
    bool isMonitoringRunning() const { return m_monitoring->isRunning(); }
    CameraManager* cameraManager() const { return m_monitoring->cameraManager(); }
    PostureDetector* postureDetector() const { return m_monitoring->postureDetector(); }
    PresenceMonitor& presence() const { return *m_presence; }

    void togglePostureMonitoring(bool enabled) override;
    void toggleStandReminder(bool enabled) override;
    void toggleWaterReminder(bool enabled) override;
    void startCalibration() override;
    void testOverlay() override;

    // Releases the camera at quit without touching the stored choice.
    void shutdown();

Q_SIGNALS:
    void postureStatusChanged(quorvel::PostureStatus status);
    void cameraErrorChanged(std::optional<QString> error);
    void pauseReasonChanged(std::optional<quorvel::PauseReason> reason);

private:
    void setPostureStatus(PostureStatus status);
    void setCameraError(std::optional<QString> error);
    void startPostureMonitoring();
    void stopPostureMonitoring();

    void userActed();
    void beginCalibration();
    void pauseForAbsence();
    void resumeAfterAbsence();
    void updateIdleWatch();
    void toggleReminder(ReminderManager& reminder, bool enabled);
    void updateCameraWatch();
    template <typename F> void forEachReminder(F f);

    // What presence does to the reminders.
    void holdCountdowns() override;
    void continueCountdowns() override;
    void restartCountdowns() override;
    QList<OverlayType> withdrawBreakOverlays() override;
    void showBreakOverlay(OverlayType type) override;

    AppStateEnvironment m_environment;
    SettingsManager& m_settings;
    // The two countdowns tick together: the idle app wakes once a second, not twice.
    TimerFactory m_reminderTicks;
    std::unique_ptr<OverlayWindowController> m_overlayController;
    std::unique_ptr<PostureLog> m_postureLog;
    std::unique_ptr<UpdateChecker> m_updateChecker;
    PostureStatus m_postureStatus = PostureStatus::notMonitoring;
    std::optional<QString> m_cameraError;
    std::unique_ptr<StandReminderManager> m_standManager;
    std::unique_ptr<WaterReminderManager> m_waterManager;
    std::unique_ptr<PostureAnalyzer> m_postureAnalyzer;
    std::unique_ptr<MonitoringControl> m_monitoring;
    qint64 m_testOverlayIndex = 0;
    bool m_calibrationInterrupted = false;
    std::unique_ptr<PresenceMonitor> m_presence;
};

} // namespace quorvel
