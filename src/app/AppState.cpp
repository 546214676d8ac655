#include "app/AppState.h"

#include "app/AppLogging.h"
#include "camera/CameraPermission.h"
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
      m_settings(chooseSettings(m_environment)) {
    if (!m_environment.requestCameraPermission) {
        m_environment.requestCameraPermission = [](QObject* context,
                                                   std::function<void(bool)> answer) {
            CameraPermission::request(context, std::move(answer));
        };
    }

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
    connect(m_updateChecker.get(), &UpdateChecker::updateInfoChanged, this,
            &PanelModel::updateChanged);

    // A dismissed slouch overlay ends the detector's alert, whoever took it down.
    QPointer<AppState> self(this);
    m_overlayController->onDismiss = [self](OverlayType type) {
        if (type == OverlayType::slouch && self && self->m_postureDetector) {
            self->m_postureDetector->markSlouchAlertDismissed();
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
    releasePipeline();
    m_presence.reset(); // it calls back into this
}

StandReminderManager& AppState::standManager() {
    if (!m_standManager) {
        m_standManager = std::make_unique<StandReminderManager>(*m_overlayController, m_settings,
                                                                m_environment.timers);
    }
    return *m_standManager;
}

WaterReminderManager& AppState::waterManager() {
    if (!m_waterManager) {
        m_waterManager = std::make_unique<WaterReminderManager>(*m_overlayController, m_settings,
                                                                m_environment.timers);
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
    Q_EMIT objectWillChange();
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
    const quint64 request = ++m_permissionRequest;
    qCInfo(lcApp, "asking for the camera");
    m_environment.requestCameraPermission(
        this, [this, request](bool granted) { permissionAnswered(request, granted); });
}

void AppState::permissionAnswered(quint64 request, bool granted) {
    // Monitoring switched off (or started again) while the answer was pending: the camera
    // must not come on for a start nobody wants any more.
    if (request != m_permissionRequest || !m_settings.postureMonitoringEnabled()) {
        return;
    }
    if (!granted) {
        qCWarning(lcApp, "the camera was refused: posture monitoring goes off");
        // Monitoring goes off, so no earlier pipeline may keep the camera either.
        releasePipeline();
        setCameraError(cameraDeniedMessage);
        setPostureStatus(PostureStatus::notMonitoring);
        m_settings.setPostureMonitoringEnabled(false);
        return;
    }

    // A running pipeline is replaced, never left holding the camera.
    releasePipeline();
    const quint64 pipeline = ++m_pipeline;

    m_postureDetector = std::make_unique<PostureDetector>(
        *m_postureAnalyzer, *m_overlayController, m_settings, *m_postureLog,
        m_environment.poseEstimators, m_environment.clock);
    subscribeQueued(m_postureDetector.get(), &PostureDetector::currentStatusChanged,
                    m_postureDetector->currentStatus(), this,
                    [this, pipeline](PostureStatus status) {
                        if (pipeline == m_pipeline) {
                            setPostureStatus(status);
                        }
                    });
    connect(
        m_postureDetector.get(), &PostureDetector::poseEstimatorFailed, this,
        [this, pipeline](const QString& message) {
            if (pipeline != m_pipeline) {
                return;
            }
            // Without a model nothing can be watched: release the camera, say why.
            qCWarning(lcApp, "no pose model: posture monitoring stops");
            releasePipeline();
            setPostureStatus(PostureStatus::notMonitoring);
            setCameraError(message);
        },
        // Queued: the handler releases the detector that emits the signal.
        Qt::QueuedConnection);

    m_cameraManager = std::make_unique<CameraManager>(m_environment.camera);
    m_cameraManager->setDelegate(m_postureDetector.get());
    subscribeQueued(m_cameraManager.get(), &CameraManager::errorChanged, m_cameraManager->error(),
                    this, [this, pipeline](const std::optional<QString>& error) {
                        if (pipeline == m_pipeline) {
                            setCameraError(error);
                        }
                    });
    qCInfo(lcApp, "posture monitoring starts");
    m_cameraManager->start();
    setCameraError(std::nullopt);
}

void AppState::releasePipeline() {
    ++m_pipeline;
    if (m_cameraManager) {
        m_cameraManager->stop();
        m_cameraManager->setDelegate(nullptr);
    }
    m_cameraManager.reset();
    m_postureDetector.reset();
}

void AppState::stopPostureMonitoring() {
    if (isMonitoringRunning()) {
        qCInfo(lcApp, "posture monitoring stops; the camera is let go");
    }
    ++m_permissionRequest;
    releasePipeline();
    setPostureStatus(PostureStatus::notMonitoring);
    setCameraError(std::nullopt);
}

void AppState::shutdown() {
    ++m_permissionRequest;
    releasePipeline();
}

void AppState::toggleStandReminder(bool enabled) {
    qCInfo(lcApp, "stand reminder switched %s", enabled ? "on" : "off");
    userActed();
    m_settings.setStandReminderEnabled(enabled);
    if (enabled) {
        standManager().start();
        if (m_presence->policy().isPaused() || m_presence->policy().isAway()) {
            standManager().pause();
        }
    } else {
        standManager().stop();
    }
    updateIdleWatch();
}

void AppState::toggleWaterReminder(bool enabled) {
    qCInfo(lcApp, "water reminder switched %s", enabled ? "on" : "off");
    userActed();
    m_settings.setWaterReminderEnabled(enabled);
    if (enabled) {
        waterManager().start();
        if (m_presence->policy().isPaused() || m_presence->policy().isAway()) {
            waterManager().pause();
        }
    } else {
        waterManager().stop();
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
    if (m_postureDetector) {
        m_postureDetector->markSlouchAlertDismissed();
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
