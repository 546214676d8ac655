#pragma once

#include "app/BreakReminders.h"
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
#include "stats/PostureLog.h"
#include "updates/UpdateChecker.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>

namespace quorvel {

class ScreenProvider;
class ReminderManager;

// What the application is made with. Defaults are the real parts; tests replace the camera,
// the pose model, the permission answer, the screens, the timers and the clock.
struct AppStateEnvironment {
    SettingsManager* settings = nullptr; // null: the user's store
    QString postureLogPath;              // empty: the user's log
    Clock clock = systemClock();
    MonotonicClock monotonic = bootClock(); // durations, timeouts and cool-downs
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

// The components the application state conducts, made in the order the application is put
// together (see make()). AppState takes them over and keeps them for its whole life; whoever
// made them (main, or a test) may keep a plain pointer to any of them meanwhile, to hand to
// the panel or to watch.
struct AppParts {
    SettingsManager* settings = nullptr;
    std::unique_ptr<OverlayWindowController> overlayController;
    std::unique_ptr<PostureLog> postureLog;
    std::unique_ptr<UpdateChecker> updateChecker;
    std::unique_ptr<PostureAnalyzer> postureAnalyzer;
    std::unique_ptr<MonitoringControl> monitoring;
    std::unique_ptr<BreakReminders> reminders;
    std::unique_ptr<PresenceMonitor> presence;

    // Overlays, the log and the update checker first, then the analyzer, the camera's side
    // of monitoring, the reminders and presence. No reminder runs and nothing is asked for
    // yet: AppState restores the user's choices.
    static AppParts make(const AppStateEnvironment& environment);
};

// Connects the components, restores the user's last choices at start-up and carries the
// user's commands to them. It hands none of them out: the panel reads its values and calls
// its operations. Main thread only.
//
// While the user is away (see PresencePolicy) it holds still: locked or asleep, the camera is
// let go (the monitoring choice stays), the slouch overlay ends, and a calibration under way
// is cancelled and begins again, with its prompt, when the user is back. Every command from
// the panel counts as the user being at the computer.
class AppState : public PanelModel {
    Q_OBJECT

public:
    static QString cameraDeniedMessage() { return MonitoringControl::cameraDeniedMessage(); }

    // `parts` must be complete, as AppParts::make() leaves them.
    explicit AppState(AppParts parts, QObject* parent = nullptr);
    ~AppState() override;

    PostureStatus postureStatus() const override { return m_postureStatus; }
    bool isCalibrated() const override;
    std::optional<QString> cameraError() const override { return m_cameraError; }
    // Why everything holds still now (locked, asleep), if it does; see pauseReasonText().
    std::optional<PauseReason> pauseReason() const override;
    bool postureMonitoringEnabled() const override;
    std::optional<UpdateInfo> updateInfo() const override;
    QList<OverlayType> breakKinds() const override;
    QString timeRemaining(OverlayType type) override;
    IntervalSetting intervalSetting(OverlayType type) const override;
    bool reminderEnabled(OverlayType type) const override;

    void togglePostureMonitoring(bool enabled) override;
    void toggleReminder(OverlayType type, bool enabled) override;
    // The stand and water reminders by name.
    bool standReminderEnabled() const { return reminderEnabled(OverlayType::stand); }
    bool waterReminderEnabled() const { return reminderEnabled(OverlayType::water); }
    QString standTimeRemaining() { return timeRemaining(OverlayType::stand); }
    QString waterTimeRemaining() { return timeRemaining(OverlayType::water); }
    void toggleStandReminder(bool enabled) { toggleReminder(OverlayType::stand, enabled); }
    void toggleWaterReminder(bool enabled) { toggleReminder(OverlayType::water, enabled); }
    void startCalibration() override;
    void testOverlay() override;

    // At quit: logs a slouch episode under way and releases the camera, without touching the
    // stored choice.
    void shutdown();

Q_SIGNALS:
    void postureStatusChanged(quorvel::PostureStatus status);
    void cameraErrorChanged(std::optional<QString> error);
    void pauseReasonChanged(std::optional<quorvel::PauseReason> reason);
    // An overlay has come up on every screen.
    void overlayShown();

private:
    void connectParts();
    void restoreChoices();
    void setPostureStatus(PostureStatus status);
    void setCameraError(std::optional<QString> error);
    void startPostureMonitoring();
    void stopPostureMonitoring();

    PresencePolicy& presence() const;
    void userActed();
    void beginCalibration();
    void endSlouchAlert();
    void pauseForAbsence();
    void resumeAfterAbsence();
    void updateIdleWatch();
    void switchReminder(ReminderManager& reminder, bool enabled);
    void updateCameraWatch();

    SettingsManager& m_settings;
    std::unique_ptr<OverlayWindowController> m_overlayController;
    std::unique_ptr<PostureLog> m_postureLog;
    std::unique_ptr<UpdateChecker> m_updateChecker;
    PostureStatus m_postureStatus = PostureStatus::notMonitoring;
    std::optional<QString> m_cameraError;
    std::unique_ptr<BreakReminders> m_reminders;
    std::unique_ptr<PostureAnalyzer> m_postureAnalyzer;
    std::unique_ptr<MonitoringControl> m_monitoring;
    qint64 m_testOverlayIndex = 0;
    bool m_calibrationInterrupted = false;
    // The next slouch overlay is the calibration's prompt (shown, or queued behind another).
    bool m_calibrationPromptDue = false;
    std::unique_ptr<PresenceMonitor> m_presence;
};

} // namespace quorvel
