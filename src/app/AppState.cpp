#include "app/AppState.h"

#include "app/AppLogging.h"
#include "overlay/OverlayWindowController.h"
#include "overlay/ScreenProvider.h"
#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "stats/PostureLog.h"

#include <QPointer>

namespace quorvel {

namespace {

SettingsManager& chooseSettings(const AppStateEnvironment& environment) {
    return environment.settings ? *environment.settings : SettingsManager::shared();
}

} // namespace

AppState::AppState(AppStateEnvironment environment, QObject* parent)
    : PanelModel(parent), m_environment(std::move(environment)),
      m_settings(chooseSettings(m_environment)),
      m_reminderTicks(sharedSecondTicks(m_environment.timers)) {
    // Overlays, the log and the update checker first, then the analyzer.
    auto screens =
        m_environment.screens ? m_environment.screens() : std::make_unique<GuiScreenProvider>();
    m_overlayController = std::make_unique<OverlayWindowController>(
        m_settings, std::move(screens), m_environment.overlayTimings, m_environment.timers);
    m_postureLog =
        m_environment.postureLogPath.isEmpty()
            ? std::make_unique<PostureLog>(PostureLog::defaultFilePath(), m_environment.clock)
            : std::make_unique<PostureLog>(m_environment.postureLogPath, m_environment.clock);
    m_updateChecker = std::make_unique<UpdateChecker>(m_settings, m_environment.updates);
    m_postureAnalyzer = std::make_unique<PostureAnalyzer>(m_settings);
    m_monitoring = std::make_unique<MonitoringControl>(
        MonitoringControl::Parts{m_environment.requestCameraPermission, m_environment.camera,
                                 m_environment.poseEstimators, m_environment.clock},
        *m_postureAnalyzer, *m_overlayController, m_settings, *m_postureLog);
    connect(m_monitoring.get(), &MonitoringControl::postureStatusChanged, this,
            &AppState::setPostureStatus);
    connect(m_monitoring.get(), &MonitoringControl::errorChanged, this, &AppState::setCameraError);
    connect(m_updateChecker.get(), &UpdateChecker::updateInfoChanged, this,
            &PanelModel::updateChanged);

    // A dismissed slouch overlay ends the detector's alert, whoever took it down.
    QPointer<AppState> self(this);
    m_overlayController->onDismiss = [self](OverlayType type) {
        if (type == OverlayType::slouch && self && self->postureDetector()) {
            self->postureDetector()->markSlouchAlertDismissed();
        }
    };

    m_presence = std::make_unique<PresenceMonitor>(m_environment.presence,
                                                   static_cast<BreakControls&>(*this),
                                                   m_environment.clock, m_environment.timers);
    PresencePolicy* presence = &m_presence->policy();
    connect(presence, &PresencePolicy::paused, this, &AppState::pauseForAbsence);
    connect(presence, &PresencePolicy::resumed, this, &AppState::resumeAfterAbsence);
    connect(presence, &PresencePolicy::pauseReasonChanged, this,
            [this](std::optional<PauseReason> reason) {
                Q_EMIT objectWillChange();
                Q_EMIT pauseReasonChanged(reason);
            });

    // Every settings change is one change of the application state, a turn later.
    connect(&m_settings, &SettingsManager::objectWillChange, this, &AppState::objectWillChange,
            Qt::QueuedConnection);

    if (m_settings.standReminderEnabled()) {
        standManager().start();
    }
    if (m_settings.waterReminderEnabled()) {
        waterManager().start();
    }
    if (m_settings.postureMonitoringEnabled()) {
        QMetaObject::invokeMethod(
            this, [this] { startPostureMonitoring(); }, Qt::QueuedConnection);
    }
    m_updateChecker->checkIfNeeded();
    updateIdleWatch();
}

AppState::~AppState() {
    m_overlayController->onDismiss = nullptr; // it reaches members that go before the controller
    m_monitoring.reset();
    m_presence.reset(); // it calls back into this
}

StandReminderManager& AppState::standManager() {
    if (!m_standManager) {
        m_standManager = std::make_unique<StandReminderManager>(*m_overlayController, m_settings,
                                                                m_reminderTicks);
        connect(m_standManager.get(), &ReminderManager::secondsRemainingChanged, this,
                &PanelModel::countdownsChanged);
    }
    return *m_standManager;
}

WaterReminderManager& AppState::waterManager() {
    if (!m_waterManager) {
        m_waterManager = std::make_unique<WaterReminderManager>(*m_overlayController, m_settings,
                                                                m_reminderTicks);
        connect(m_waterManager.get(), &ReminderManager::secondsRemainingChanged, this,
                &PanelModel::countdownsChanged);
    }
    return *m_waterManager;
}

bool AppState::isCalibrated() const {
    return m_postureAnalyzer->isCalibrated();
}

QString AppState::standTimeRemaining() {
    return standManager().formattedTimeRemaining();
}

QString AppState::waterTimeRemaining() {
    return waterManager().formattedTimeRemaining();
}

std::optional<UpdateInfo> AppState::updateInfo() const {
    return m_updateChecker->updateInfo();
}

void AppState::setPostureStatus(PostureStatus status) {
    // The same verdict again (twice a second while monitoring) changes nothing on screen: the
    // panel and the icon are not redrawn for it.
    if (status != m_postureStatus) {
        Q_EMIT objectWillChange();
    }
    m_postureStatus = status;
    updateCameraWatch();
    m_presence->policy().postureSeen(status);
    Q_EMIT postureStatusChanged(status);
}

void AppState::setCameraError(std::optional<QString> error) {
    if (error && error != m_cameraError) {
        qCInfo(lcApp, "camera problem shown: %s", qUtf8Printable(*error));
    }
    Q_EMIT objectWillChange();
    m_cameraError = error;
    updateCameraWatch();
    Q_EMIT cameraErrorChanged(std::move(error));
}

// The camera tells whether someone is at the desk while it delivers verdicts.
void AppState::updateCameraWatch() {
    m_presence->policy().setCameraWatching(isMonitoringRunning() && !m_cameraError &&
                                           m_postureStatus != PostureStatus::notMonitoring);
}

void AppState::userActed() {
    m_presence->policy().userActed();
}

void AppState::togglePostureMonitoring(bool enabled) {
    qCInfo(lcApp, "posture monitoring switched %s", enabled ? "on" : "off");
    userActed();
    m_settings.setPostureMonitoringEnabled(enabled);
    if (enabled) {
        QMetaObject::invokeMethod(
            this, [this] { startPostureMonitoring(); }, Qt::QueuedConnection);
    } else {
        stopPostureMonitoring();
    }
}

void AppState::startPostureMonitoring() {
    // Switched off meanwhile, or paused: the camera comes on when the user is back.
    if (!m_settings.postureMonitoringEnabled() || m_presence->policy().isPaused()) {
        return;
    }
    m_monitoring->start();
}

void AppState::stopPostureMonitoring() {
    m_monitoring->stop();
    setPostureStatus(PostureStatus::notMonitoring);
    setCameraError(std::nullopt);
}

void AppState::shutdown() {
    m_monitoring->stop();
}

void AppState::toggleStandReminder(bool enabled) {
    m_settings.setStandReminderEnabled(enabled);
    toggleReminder(standManager(), enabled);
}

void AppState::toggleWaterReminder(bool enabled) {
    m_settings.setWaterReminderEnabled(enabled);
    toggleReminder(waterManager(), enabled);
}

// After the choice is stored: a reminder switched on while the user is away holds still.
void AppState::toggleReminder(ReminderManager& reminder, bool enabled) {
    qCInfo(lcApp, "%s reminder switched %s", qUtf8Printable(rawValue(reminder.overlayType())),
           enabled ? "on" : "off");
    userActed();
    if (enabled) {
        reminder.start();
        if (m_presence->policy().isPaused() || m_presence->policy().isAway()) {
            reminder.pause();
        }
    } else {
        reminder.stop();
    }
    updateIdleWatch();
}

void AppState::startCalibration() {
    userActed();
    beginCalibration();
}

void AppState::beginCalibration() {
    qCInfo(lcApp, "calibration begins");
    m_calibrationInterrupted = false;
    m_postureAnalyzer->resetCalibration();
    m_postureAnalyzer->startCalibration();
    setPostureStatus(PostureStatus::calibrating);
    m_overlayController->show(OverlayType::slouch, 3);
}

void AppState::testOverlay() {
    userActed();
    static constexpr OverlayType kinds[] = {OverlayType::slouch, OverlayType::stand,
                                            OverlayType::water};
    const OverlayType kind = kinds[m_testOverlayIndex % 3];
    ++m_testOverlayIndex;
    m_overlayController->show(kind, m_settings.autoDismissTimeout());
}

// Locked or asleep (the break overlays and countdowns are the presence policy's).
void AppState::pauseForAbsence() {
    // The slouch episode on screen ends here, with its time so far: none spans a lock.
    if (PostureDetector* detector = postureDetector()) {
        detector->markSlouchAlertDismissed();
    }
    m_overlayController->withdraw(OverlayType::slouch);
    // A baseline is never taken from someone leaving or sitting back down.
    if (m_postureAnalyzer->isCalibrating()) {
        m_postureAnalyzer->resetCalibration();
        m_calibrationInterrupted = true;
    }
    // The camera goes off as if monitoring were switched off, but the choice stays.
    if (m_settings.postureMonitoringEnabled()) {
        qCInfo(lcApp, "away from the desk: the camera is let go until the user is back");
        stopPostureMonitoring();
    }
}

void AppState::resumeAfterAbsence() {
    if (m_settings.postureMonitoringEnabled() && !isMonitoringRunning()) {
        // As at start-up: the camera is asked for again.
        QMetaObject::invokeMethod(
            this, [this] { startPostureMonitoring(); }, Qt::QueuedConnection);
    }
    if (m_calibrationInterrupted) {
        beginCalibration();
    }
}

template <typename F> void AppState::forEachReminder(F f) {
    for (ReminderManager* manager : {static_cast<ReminderManager*>(m_standManager.get()),
                                     static_cast<ReminderManager*>(m_waterManager.get())}) {
        if (manager) {
            f(*manager);
        }
    }
}

void AppState::holdCountdowns() {
    forEachReminder([](ReminderManager& m) { m.pause(); });
}

void AppState::continueCountdowns() {
    forEachReminder([](ReminderManager& m) { m.resume(); });
}

void AppState::restartCountdowns() {
    forEachReminder([](ReminderManager& m) { m.restart(); });
}

QList<OverlayType> AppState::withdrawBreakOverlays() {
    QList<OverlayType> withdrawn;
    for (OverlayType type : {OverlayType::stand, OverlayType::water}) {
        const bool onScreen =
            m_overlayController->currentType() == type && !m_overlayController->isFadingOut();
        if (onScreen || m_overlayController->overlayQueue().contains(type)) {
            withdrawn.append(type);
        }
        m_overlayController->withdraw(type);
    }
    return withdrawn;
}

void AppState::showBreakOverlay(OverlayType type) {
    m_overlayController->show(type, m_settings.autoDismissTimeout());
}

void AppState::updateIdleWatch() {
    m_presence->policy().setRemindersRunning((m_standManager && m_standManager->isRunning()) ||
                                             (m_waterManager && m_waterManager->isRunning()));
}

} // namespace quorvel
