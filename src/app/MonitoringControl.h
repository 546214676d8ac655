#pragma once

#include "camera/CameraManager.h"
#include "common/Clock.h"
#include "common/OverlayRequests.h"
#include "posture/PostureDetector.h"
#include "posture/PostureModels.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace quorvel {

class PostureAnalyzer;
class PostureLog;
class SettingsManager;

// Answers on the main thread, later, whether the camera may be used.
using CameraPermissionRequest =
    std::function<void(QObject* context, std::function<void(bool)> answer)>;

// The camera's side of posture monitoring: asks whether the camera may be used, builds the
// camera-to-detector pipeline when it may, and takes it down. What the user is to see comes
// out of its two signals, in the order the panel shows it. Main thread only.
class MonitoringControl : public QObject {
    Q_OBJECT

public:
    static QString cameraDeniedMessage() {
        return tr("Camera access denied. Enable in System Settings > Privacy.");
    }

    struct Parts {
        CameraPermissionRequest requestPermission; // empty: CameraPermission::request
        CameraManagerOptions camera;
        PoseEstimatorFactory poseEstimators = defaultPoseEstimatorFactory();
        TimeSource time;
    };

    MonitoringControl(Parts parts, PostureAnalyzer& analyzer, OverlayRequests& overlays,
                      SettingsManager& settings, PostureLog& postureLog, QObject* parent = nullptr);
    ~MonitoringControl() override;

    // Asks for the camera. Yes, and monitoring still switched on: a new pipeline replaces
    // any running one, and the camera starts. No: monitoring is switched off (stored) and
    // the refusal is told.
    void start();
    // Forgets a pending answer and lets the camera go. Tells nothing.
    void stop();

    bool isRunning() const { return m_cameraManager != nullptr; }
    CameraManager* cameraManager() const { return m_cameraManager.get(); }
    PostureDetector* postureDetector() const { return m_postureDetector.get(); }

Q_SIGNALS:
    // The running detector's verdicts (its initial one first, a turn after the start), and
    // `notMonitoring` when monitoring cannot go on.
    void postureStatusChanged(quorvel::PostureStatus status);
    // The problem to show, or none: the camera's own, the refusal, a pose model that failed.
    void errorChanged(std::optional<QString> error);

private:
    void permissionAnswered(quint64 request, bool granted);
    void buildPipeline();
    void release();

    Parts m_parts;
    PostureAnalyzer& m_analyzer;
    OverlayRequests& m_overlays;
    SettingsManager& m_settings;
    PostureLog& m_postureLog;
    std::unique_ptr<PostureDetector> m_postureDetector;
    std::unique_ptr<CameraManager> m_cameraManager;
    // Each start and stop moves these on, so late answers and late deliveries from an
    // earlier pipeline are ignored.
    quint64 m_permissionRequest = 0;
    quint64 m_pipeline = 0;
};

} // namespace quorvel
