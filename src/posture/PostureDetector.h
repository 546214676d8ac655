#pragma once

#include "camera/CameraFrameDelegate.h"
#include "common/Clock.h"
#include "common/OverlayRequests.h"
#include "posture/PoseEstimator.h"
#include "posture/PostureAnalyzer.h"
#include "posture/PostureModels.h"
#include "posture/movenet/MoveNetEstimator.h"

#include <QObject>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace quorvel {

class PostureLog;

// Makes the pose estimator when monitoring starts; on failure returns nothing and says why.
using PoseEstimatorFactory = std::function<std::unique_ptr<PoseEstimator>(QString* error)>;

// The real estimator: MoveNet from the installed model files, or from `modelDirectory` when
// not empty, in `precision` (automatic: the estimator chooses).
PoseEstimatorFactory defaultPoseEstimatorFactory(
    const QString& modelDirectory = {},
    MoveNetEstimator::Precision precision = MoveNetEstimator::Precision::automatic);

// Turns camera frames into posture verdicts and runs the slouch alert.
//
// Frames arrive on the camera thread, where the pose is estimated and the analyzer called.
// Every change of published or alert state happens on the main thread, in tasks posted to
// this object (so they are dropped when it is gone).
class PostureDetector : public QObject, public CameraFrameDelegate {
    Q_OBJECT

public:
    static constexpr int windowSize = 10;
    static constexpr int slouchRatioThreshold = 6;
    static constexpr double cooldownSeconds = 60.0;
    static constexpr int goodFramesToDismiss = 2;

    PostureDetector(PostureAnalyzer& analyzer, OverlayRequests& overlays, SettingsManager& settings,
                    PostureLog& postureLog,
                    PoseEstimatorFactory estimatorFactory = defaultPoseEstimatorFactory(),
                    TimeSource time = {}, QObject* parent = nullptr);
    ~PostureDetector() override;

    PostureStatus currentStatus() const { return m_currentStatus; }

    // Camera thread.
    void cameraManager(CameraManager& manager, const cv::Mat& frame) override;
    void processFrame(const cv::Mat& frame);

    // Main thread: the slouch overlay went away, whoever took it down.
    void markSlouchAlertDismissed();
    // Main thread: the user has left the desk. An alert under way ends, its episode at the
    // last verdict that saw the user, and its overlay goes.
    void userLeft();

    // Any thread: monitoring is stopping. A frame waiting for the pose model gives up at once,
    // and so does every frame after it; a model still loading finishes on its own thread and
    // is thrown away. Call before taking this detector from the camera.
    void abandon();

    // The six joints of the first body found; nothing when the request failed, found nobody,
    // or the estimator could not place one of the joints.
    static std::optional<BodyJoints> firstBodyJoints(const PoseResult& result);
    // The one rule for a usable person, which the app and the tools share: the first body's
    // joints with the nose, both shoulders and the neck clear (the ears may be anything).
    // Nothing otherwise; only these frames reach the analyzer.
    static std::optional<BodyJoints> usableJoints(const PoseResult& result);

    // For the panel and tests: is an alert up, and the window of recent verdicts.
    bool slouchAlertActive() const { return m_slouchAlertActive; }
    const std::deque<PostureStatus>& recentFrames() const { return m_recentFrames; }

Q_SIGNALS:
    void objectWillChange();
    void currentStatusChanged(quorvel::PostureStatus status);
    // The pose model could not be made; monitoring cannot work. Main thread.
    void poseEstimatorFailed(QString message);

private:
    // Reduces one body to the six joints; nothing when one has no point.
    static std::optional<BodyJoints> extractJoints(const PoseObservation& observation);

    void setCurrentStatus(PostureStatus status);
    void publishNoPerson(bool emptyWindow);
    void handleStatus(PostureStatus status);
    bool isInCooldown() const;
    void triggerSlouchAlert();
    void dismissSlouchAlert();
    void recordSlouchEvent(std::optional<std::chrono::milliseconds> end = std::nullopt);

    // Camera thread only. Waits for the model, which loads on a thread of its own: a model
    // file that never answers (a stalled disk, a hung network home) holds up nothing but that
    // thread, so stopping never waits for it and the camera closes at once.
    PoseEstimator* estimator();
    void startLoading();

    PostureAnalyzer& m_analyzer;
    OverlayRequests& m_overlays;
    SettingsManager& m_settings;
    PostureLog& m_postureLog;
    PoseEstimatorFactory m_estimatorFactory;
    TimeSource m_time;
    struct ModelLoad;
    const std::shared_ptr<ModelLoad> m_load; // shared with the loading thread
    bool m_loadStarted = false;
    std::unique_ptr<PoseEstimator> m_estimator;
    bool m_estimatorFailed = false;

    // Main thread only.
    PostureStatus m_currentStatus = PostureStatus::notMonitoring;
    std::deque<PostureStatus> m_recentFrames;
    std::optional<std::chrono::milliseconds> m_lastDismissTime;
    bool m_slouchAlertActive = false;
    int m_goodFramesSinceAlert = 0;
    std::optional<QDateTime> m_slouchStartTime;          // wall clock: the event's stamp
    std::chrono::milliseconds m_slouchStartMonotonic{0}; // its length is measured from here
    // The alert's last verdict with the user in view.
    std::chrono::milliseconds m_lastSeenInAlert{0};
};

} // namespace quorvel
