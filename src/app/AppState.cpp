#include "app/AppState.h"

#include "app/AppLogging.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindowController.h"
#include "overlay/ScreenProvider.h"
#include "stats/PostureLog.h"

#include <QPointer>
#include <utility>

namespace quorvel {

AppParts AppParts::make(const AppStateEnvironment& environment) {
    AppParts parts;
    parts.settings = environment.settings ? environment.settings : &SettingsManager::shared();
    SettingsManager& settings = *parts.settings;
    auto screens =
        environment.screens ? environment.screens() : std::make_unique<GuiScreenProvider>();
    parts.overlayController = std::make_unique<OverlayWindowController>(
        settings, std::move(screens), environment.overlayTimings, environment.timers);
    parts.postureLog = std::make_unique<PostureLog>(environment.postureLogPath.isEmpty()
                                                        ? PostureLog::defaultFilePath()
                                                        : environment.postureLogPath,
                                                    environment.clock);
    parts.updateChecker = std::make_unique<UpdateChecker>(settings, environment.updates);
    parts.postureAnalyzer = std::make_unique<PostureAnalyzer>(settings);
    parts.monitoring = std::make_unique<MonitoringControl>(
        MonitoringControl::Parts{environment.requestCameraPermission, environment.camera,
                                 environment.poseEstimators,
                                 TimeSource{environment.clock, environment.monotonic}},
        *parts.postureAnalyzer, *parts.overlayController, settings, *parts.postureLog);
    parts.reminders =
        std::make_unique<BreakReminders>(*parts.overlayController, settings, environment.timers);
    parts.presence = std::make_unique<PresenceMonitor>(environment.presence, *parts.reminders,
                                                       environment.monotonic, environment.timers);
    return parts;
}

AppState::AppState(AppParts parts, QObject* parent)
    : PanelModel(parent), m_settings(*parts.settings),
      m_overlayController(std::move(parts.overlayController)),
      m_postureLog(std::move(parts.postureLog)), m_updateChecker(std::move(parts.updateChecker)),
      m_reminders(std::move(parts.reminders)), m_postureAnalyzer(std::move(parts.postureAnalyzer)),
      m_monitoring(std::move(parts.monitoring)), m_presence(std::move(parts.presence)) {
    connectParts();
    restoreChoices();
}

AppState::~AppState() {
    m_overlayController->onDismiss = nullptr; // it reaches members that go before the controller
    m_monitoring.reset();
    m_presence.reset(); // it calls into the reminders
}

void AppState::connectParts() {
    connect(m_reminders.get(), &BreakReminders::countdownsMoved, this,
            &PanelModel::countdownsChanged);
    connect(m_monitoring.get(), &MonitoringControl::postureStatusChanged, this,
            &AppState::setPostureStatus);
    connect(m_monitoring.get(), &MonitoringControl::errorChanged, this, &AppState::setCameraError);
    connect(m_updateChecker.get(), &UpdateChecker::updateInfoChanged, this,
            &PanelModel::updateChanged);

    // A dismissed slouch overlay ends the detector's alert, whoever took it down.
    QPointer<AppState> self(this);
    m_overlayController->onDismiss = [self](OverlayType type) {
        if (type != OverlayType::slouch || !self) {
            return;
        }
        if (PostureDetector* detector = self->m_monitoring->postureDetector()) {
            detector->markSlouchAlertDismissed();
        }
    };

    connect(m_overlayController.get(), &OverlayWindowController::shown, this,
            [this](OverlayType type) {
                // The calibration's prompt is the slouch overlay; a screen reader also hears
                // what it is for (the panel, where the status says so, gives way to it).
                if (type == OverlayType::slouch && std::exchange(m_calibrationPromptDue, false) &&
                    m_postureAnalyzer->isCalibrating()) {
                    for (OverlayView* view : m_overlayController->panels()) {
                        view->setSpokenNote(label(PostureStatus::calibrating));
                    }
                }
                Q_EMIT overlayShown();
            });
    connect(&presence(), &PresencePolicy::paused, this, &AppState::pauseForAbsence);
    connect(&presence(), &PresencePolicy::resumed, this, &AppState::resumeAfterAbsence);
    // Nobody to sit up: a slouch alert ends when the user leaves, as break reminders do.
    connect(&presence(), &PresencePolicy::awayReached, this, [this] {
        if (PostureDetector* detector = m_monitoring->postureDetector()) {
            detector->userLeft();
        }
    });
    connect(&presence(), &PresencePolicy::pauseReasonChanged, this,
            [this](std::optional<PauseReason> reason) {
                Q_EMIT objectWillChange();
                Q_EMIT pauseReasonChanged(reason);
            });

    // Every settings change is one change of the application state, a turn later.
    connect(&m_settings, &SettingsManager::objectWillChange, this, &AppState::objectWillChange,
            Qt::QueuedConnection);
}

// The break reminders in their list's order (stand before water), all before the camera is
// asked for and before the update check. A reminder that is off is not made at all.
void AppState::restoreChoices() {
    for (const ReminderKind* kind : breakReminderKinds()) {
        if ((m_settings.*kind->enabled)()) {
            m_reminders->reminder(*kind).start();
        }
    }
    if (m_settings.postureMonitoringEnabled()) {
        QMetaObject::invokeMethod(
            this, [this] { startPostureMonitoring(); }, Qt::QueuedConnection);
    }
    m_updateChecker->checkIfNeeded();
    updateIdleWatch();
}

PresencePolicy& AppState::presence() const {
    return m_presence->policy();
}

bool AppState::isCalibrated() const {
    return m_postureAnalyzer->isCalibrated();
}

std::optional<PauseReason> AppState::pauseReason() const {
    return presence().pauseReason();
}

bool AppState::postureMonitoringEnabled() const {
    return m_settings.postureMonitoringEnabled();
}

QList<OverlayType> AppState::breakKinds() const {
    QList<OverlayType> kinds;
    for (const ReminderKind* kind : breakReminderKinds()) {
        kinds.append(kind->overlay);
    }
    return kinds;
}

bool AppState::reminderEnabled(OverlayType type) const {
    const ReminderKind* kind = breakReminderKind(type);
    return kind != nullptr && (m_settings.*kind->enabled)();
}

IntervalSetting AppState::intervalSetting(OverlayType type) const {
    const ReminderKind* kind = breakReminderKind(type);
    return kind != nullptr ? IntervalSetting{type, kind->interval, kind->setInterval}
                           : IntervalSetting{type, nullptr, nullptr};
}

QString AppState::timeRemaining(OverlayType type) {
    const ReminderKind* kind = breakReminderKind(type);
    return kind != nullptr ? m_reminders->reminder(*kind).formattedTimeRemaining() : QString();
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
    presence().postureSeen(status);
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
    presence().setCameraWatching(m_monitoring->isRunning() && !m_cameraError &&
                                 m_postureStatus != PostureStatus::notMonitoring);
}

void AppState::userActed() {
    presence().userActed();
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
    if (!m_settings.postureMonitoringEnabled() || presence().isPaused()) {
        return;
    }
    m_monitoring->start();
}

// A slouch alert under way ends with the monitoring that raised it: its episode is logged
// with its time so far, and its overlay goes (nothing would end it but a click).
void AppState::endSlouchAlert() {
    if (PostureDetector* detector = m_monitoring->postureDetector()) {
        detector->markSlouchAlertDismissed();
    }
    m_overlayController->withdraw(OverlayType::slouch);
}

void AppState::stopPostureMonitoring() {
    endSlouchAlert();
    m_monitoring->stop();
    setPostureStatus(PostureStatus::notMonitoring);
    setCameraError(std::nullopt);
}

void AppState::shutdown() {
    endSlouchAlert(); // at quit, or logout
    m_monitoring->stop();
}

void AppState::toggleReminder(OverlayType type, bool enabled) {
    const ReminderKind* kind = breakReminderKind(type);
    if (kind == nullptr) {
        return;
    }
    (m_settings.*kind->setEnabled)(enabled);
    switchReminder(m_reminders->reminder(*kind), enabled);
}

// After the choice is stored: a reminder switched on while the user is away holds still.
void AppState::switchReminder(ReminderManager& reminder, bool enabled) {
    qCInfo(lcApp, "%s reminder switched %s", qUtf8Printable(rawValue(reminder.overlayType())),
           enabled ? "on" : "off");
    userActed();
    if (enabled) {
        reminder.start();
        if (presence().isPaused() || presence().isAway()) {
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
    m_calibrationPromptDue = true;
    m_overlayController->show(OverlayType::slouch, 3);
}

void AppState::testOverlay() {
    userActed();
    const OverlayType kind =
        allOverlayTypes.at(static_cast<std::size_t>(m_testOverlayIndex) % allOverlayTypes.size());
    ++m_testOverlayIndex;
    m_overlayController->show(kind, m_settings.autoDismissTimeout());
}

// Locked or asleep (the break overlays and countdowns are the presence policy's).
void AppState::pauseForAbsence() {
    endSlouchAlert(); // no episode spans a lock
    // A baseline is never taken from someone leaving or sitting back down.
    if (m_postureAnalyzer->isCalibrating()) {
        m_postureAnalyzer->resetCalibration();
        m_calibrationInterrupted = true;
    }
    // The camera goes off as if monitoring were switched off, but the choice stays.
    if (m_settings.postureMonitoringEnabled()) {
        qCInfo(lcApp, "paused (locked or asleep): the camera is let go until the session is back");
        stopPostureMonitoring();
    }
}

void AppState::resumeAfterAbsence() {
    if (m_settings.postureMonitoringEnabled() && !m_monitoring->isRunning()) {
        // As at start-up: the camera is asked for again.
        QMetaObject::invokeMethod(
            this, [this] { startPostureMonitoring(); }, Qt::QueuedConnection);
    }
    if (m_calibrationInterrupted) {
        beginCalibration();
    }
}

void AppState::updateIdleWatch() {
    presence().setRemindersRunning(m_reminders->anyRunning());
}

} // namespace quorvel
