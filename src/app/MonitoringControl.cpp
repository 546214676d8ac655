#include "app/MonitoringControl.h"

#include "app/AppLogging.h"
#include "camera/CameraPermission.h"
#include "common/Memory.h"
#include "common/Observation.h"
#include "settings/SettingsManager.h"

namespace quorvel {

MonitoringControl::MonitoringControl(Parts parts, PostureAnalyzer& analyzer,
                                     OverlayRequests& overlays, SettingsManager& settings,
                                     PostureLog& postureLog, QObject* parent)
    : QObject(parent), m_parts(std::move(parts)), m_analyzer(analyzer), m_overlays(overlays),
      m_settings(settings), m_postureLog(postureLog) {
    if (!m_parts.requestPermission) {
        m_parts.requestPermission = [](QObject* context, std::function<void(bool)> answer) {
            CameraPermission::request(context, std::move(answer));
        };
    }
}

MonitoringControl::~MonitoringControl() {
    release();
}

void MonitoringControl::start() {
    const quint64 request = ++m_permissionRequest;
    qCInfo(lcApp, "asking for the camera");
    m_parts.requestPermission(
        this, [this, request](bool granted) { permissionAnswered(request, granted); });
}

void MonitoringControl::permissionAnswered(quint64 request, bool granted) {
    // Monitoring switched off (or started again) while the answer was pending: the camera
    // must not come on for a start nobody wants any more.
    if (request != m_permissionRequest || !m_settings.postureMonitoringEnabled()) {
        return;
    }
    if (!granted) {
        qCWarning(lcApp, "the camera was refused: posture monitoring goes off");
        // Monitoring goes off, so no earlier pipeline may keep the camera either.
        release();
        Q_EMIT errorChanged(cameraDeniedMessage());
        Q_EMIT postureStatusChanged(PostureStatus::notMonitoring);
        m_settings.setPostureMonitoringEnabled(false);
        return;
    }
    buildPipeline();
}

void MonitoringControl::buildPipeline() {
    // A running pipeline is replaced, never left holding the camera.
    release();
    const quint64 pipeline = ++m_pipeline;

    m_postureDetector = std::make_unique<PostureDetector>(
        m_analyzer, m_overlays, m_settings, m_postureLog, m_parts.poseEstimators, m_parts.time);
    subscribeQueued(m_postureDetector.get(), &PostureDetector::currentStatusChanged,
                    m_postureDetector->currentStatus(), this,
                    [this, pipeline](PostureStatus status) {
                        if (pipeline == m_pipeline) {
                            Q_EMIT postureStatusChanged(status);
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
            release();
            Q_EMIT postureStatusChanged(PostureStatus::notMonitoring);
            Q_EMIT errorChanged(message);
        },
        // Queued: the handler releases the detector that emits the signal.
        Qt::QueuedConnection);

    m_cameraManager = std::make_unique<CameraManager>(m_parts.camera);
    m_cameraManager->setDelegate(m_postureDetector.get());
    subscribeQueued(m_cameraManager.get(), &CameraManager::errorChanged, m_cameraManager->error(),
                    this, [this, pipeline](const std::optional<QString>& error) {
                        if (pipeline == m_pipeline) {
                            Q_EMIT errorChanged(error);
                        }
                    });
    qCInfo(lcApp, "posture monitoring starts");
    m_cameraManager->start();
    Q_EMIT errorChanged(std::nullopt);
}

void MonitoringControl::stop() {
    ++m_permissionRequest;
    if (isRunning()) {
        qCInfo(lcApp, "posture monitoring stops; the camera is let go");
    }
    release();
}

void MonitoringControl::release() {
    ++m_pipeline;
    if (m_postureDetector) {
        m_postureDetector->abandon(); // a frame waiting for the model lets go of the camera
    }
    if (m_cameraManager) {
        m_cameraManager->stop();
        m_cameraManager->setDelegate(nullptr);
    }
    m_cameraManager.reset();
    if (m_postureDetector) {
        m_postureDetector.reset();
        returnFreedMemory(); // the pose model's, most of what monitoring used
    }
}

} // namespace quorvel
