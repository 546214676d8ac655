#include "posture/PostureDetector.h"

#include "common/Memory.h"
#include "posture/PostureLogging.h"
#include "posture/movenet/MoveNetEstimator.h"
#include "stats/PostureLog.h"

#include <QMetaObject>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quorvel {

PoseEstimatorFactory defaultPoseEstimatorFactory(const QString& modelDirectory,
                                                 MoveNetEstimator::Precision precision) {
    return [modelDirectory, precision](QString* error) -> std::unique_ptr<PoseEstimator> {
        auto estimator = MoveNetEstimator::load(
            MoveNetEstimator::defaultModelDirectory(modelDirectory), error, 1, precision);
        // The model's graph, and the engine tried and refused, are freed by now: about as much
        // again as the model needs to run.
        returnFreedMemory();
        return estimator;
    };
}

// The pose model as its loading thread hands it over.
struct PostureDetector::ModelLoad {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false;
    std::unique_ptr<PoseEstimator> estimator;
    QString error;
};

PostureDetector::PostureDetector(PostureAnalyzer& analyzer, OverlayRequests& overlays,
                                 SettingsManager& settings, PostureLog& postureLog,
                                 PoseEstimatorFactory estimatorFactory, TimeSource time,
                                 QObject* parent)
    : QObject(parent), m_analyzer(analyzer), m_overlays(overlays), m_settings(settings),
      m_postureLog(postureLog), m_estimatorFactory(std::move(estimatorFactory)),
      m_time(std::move(time)), m_load(std::make_shared<ModelLoad>()) {}

PostureDetector::~PostureDetector() {
    abandon();
}

void PostureDetector::abandon() {
    {
        const std::lock_guard lock(m_load->mutex);
        m_load->abandoned = true;
    }
    m_load->changed.notify_all();
}

void PostureDetector::cameraManager(CameraManager& /*manager*/, const cv::Mat& frame) {
    processFrame(frame);
}

void PostureDetector::startLoading() {
    m_loadStarted = true;
    std::thread([load = m_load, factory = m_estimatorFactory] {
        QString error;
        std::unique_ptr<PoseEstimator> estimator;
        try {
            estimator = factory ? factory(&error) : nullptr;
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        {
            const std::lock_guard lock(load->mutex);
            load->estimator = std::move(estimator);
            load->error = error;
            load->done = true;
        }
        load->changed.notify_all();
        // When the detector is gone by now, the model goes with the last reference, here.
    }).detach();
}

PoseEstimator* PostureDetector::estimator() {
    if (m_estimator || m_estimatorFailed) {
        return m_estimator.get();
    }
    if (!m_loadStarted) {
        startLoading();
    }
    QString error;
    {
        std::unique_lock lock(m_load->mutex);
        m_load->changed.wait(lock, [this] { return m_load->done || m_load->abandoned; });
        if (m_load->abandoned) {
            return nullptr;
        }
        m_estimator = std::move(m_load->estimator);
        error = m_load->error;
    }
    if (!m_estimator) {
        m_estimatorFailed = true;
        if (error.isEmpty()) {
            error = tr("Pose model could not be loaded");
        }
        QMetaObject::invokeMethod(
            this, [this, error] { Q_EMIT poseEstimatorFailed(error); }, Qt::QueuedConnection);
    }
    return m_estimator.get();
}

void PostureDetector::processFrame(const cv::Mat& frame) {
    PoseEstimator* poseEstimator = estimator();
    if (!poseEstimator) {
        return;
    }
    const PoseResult result = poseEstimator->estimate(frame);
    if (result.failed) {
        qCDebug(lcPosture) << "pose request failed:" << result.error;
        publishNoPerson(false); // the window is kept on this path
        return;
    }
    const std::optional<BodyJoints> joints = usableJoints(result);
    if (!joints) {
        publishNoPerson(true);
        return;
    }
    if (m_analyzer.isCalibrating()) {
        const bool completed = m_analyzer.addCalibrationFrame(*joints);
        const PostureStatus status = completed ? PostureStatus::good : PostureStatus::calibrating;
        QMetaObject::invokeMethod(
            this, [this, status] { setCurrentStatus(status); }, Qt::QueuedConnection);
        return;
    }
    const PostureStatus verdict = m_analyzer.analyze(*joints);
    QMetaObject::invokeMethod(
        this,
        [this, verdict] {
            setCurrentStatus(verdict);
            handleStatus(verdict);
        },
        Qt::QueuedConnection);
}

void PostureDetector::publishNoPerson(bool emptyWindow) {
    QMetaObject::invokeMethod(
        this,
        [this, emptyWindow] {
            setCurrentStatus(PostureStatus::noPersonDetected);
            if (emptyWindow) {
                m_recentFrames.clear();
            }
        },
        Qt::QueuedConnection);
}

std::optional<BodyJoints> PostureDetector::firstBodyJoints(const PoseResult& result) {
    if (result.failed || result.observations.empty()) {
        return std::nullopt;
    }
    return extractJoints(result.observations.front());
}

std::optional<BodyJoints> PostureDetector::usableJoints(const PoseResult& result) {
    std::optional<BodyJoints> joints = firstBodyJoints(result);
    if (!joints || !joints->hasValidKeyJoints() || !joints->neck.isValid()) {
        return std::nullopt;
    }
    return joints;
}

std::optional<BodyJoints> PostureDetector::extractJoints(const PoseObservation& observation) {
    const auto nose = observation.recognizedPoint(PoseJointName::nose);
    const auto neck = observation.recognizedPoint(PoseJointName::neck);
    const auto leftEar = observation.recognizedPoint(PoseJointName::leftEar);
    const auto rightEar = observation.recognizedPoint(PoseJointName::rightEar);
    const auto leftShoulder = observation.recognizedPoint(PoseJointName::leftShoulder);
    const auto rightShoulder = observation.recognizedPoint(PoseJointName::rightShoulder);
    if (!nose || !neck || !leftEar || !rightEar || !leftShoulder || !rightShoulder) {
        return std::nullopt;
    }
    return BodyJoints{*nose, *neck, *leftEar, *rightEar, *leftShoulder, *rightShoulder};
}

void PostureDetector::setCurrentStatus(PostureStatus status) {
    if (status != m_currentStatus) {
        qCDebug(lcPosture).noquote() << "posture:" << rawValue(status);
    }
    Q_EMIT objectWillChange();
    m_currentStatus = status;
    Q_EMIT currentStatusChanged(status);
}

void PostureDetector::handleStatus(PostureStatus status) {
    if (m_slouchAlertActive) {
        m_lastSeenInAlert = m_time.monotonic();
        if (status == PostureStatus::good) {
            ++m_goodFramesSinceAlert;
            if (m_goodFramesSinceAlert >= goodFramesToDismiss) {
                dismissSlouchAlert();
            }
        } else {
            m_goodFramesSinceAlert = 0;
        }
        return;
    }
    m_recentFrames.push_back(status);
    if (static_cast<int>(m_recentFrames.size()) > windowSize) {
        m_recentFrames.pop_front();
    }
    const auto slouching =
        std::count(m_recentFrames.begin(), m_recentFrames.end(), PostureStatus::slouching);
    if (slouching >= slouchRatioThreshold && !isInCooldown()) {
        triggerSlouchAlert();
    }
}

bool PostureDetector::isInCooldown() const {
    if (!m_lastDismissTime) {
        return false;
    }
    const auto elapsed = m_time.monotonic() - *m_lastDismissTime;
    return elapsed < std::chrono::milliseconds(qint64(cooldownSeconds * 1000));
}

void PostureDetector::triggerSlouchAlert() {
    m_recentFrames.clear();
    m_slouchAlertActive = true;
    m_goodFramesSinceAlert = 0; // every alert takes its own good frames to end
    m_slouchStartTime = m_time.wall();
    m_slouchStartMonotonic = m_time.monotonic();
    m_lastSeenInAlert = m_slouchStartMonotonic;
    qCInfo(lcPosture) << "slouching in" << slouchRatioThreshold << "of the last" << windowSize
                      << "frames: slouch alert raised";
    m_overlays.show(OverlayType::slouch, 0);
}

void PostureDetector::dismissSlouchAlert() {
    qCInfo(lcPosture) << "sitting up straight ended the slouch alert";
    recordSlouchEvent();
    m_slouchAlertActive = false;
    m_goodFramesSinceAlert = 0;
    m_recentFrames.clear();
    m_lastDismissTime = m_time.monotonic();
    // Only the slouch overlay: a break reminder on screen stays up.
    m_overlays.withdraw(OverlayType::slouch);
}

void PostureDetector::markSlouchAlertDismissed() {
    if (m_slouchAlertActive) {
        qCInfo(lcPosture) << "the slouch overlay was dismissed: alert ended";
    }
    recordSlouchEvent();
    m_slouchAlertActive = false;
    m_goodFramesSinceAlert = 0;
    m_recentFrames.clear();
    m_lastDismissTime = m_time.monotonic();
}

void PostureDetector::userLeft() {
    if (!m_slouchAlertActive) {
        return;
    }
    qCInfo(lcPosture) << "the user left: slouch alert ended";
    recordSlouchEvent(m_lastSeenInAlert);
    markSlouchAlertDismissed();
    m_overlays.withdraw(OverlayType::slouch);
}

void PostureDetector::recordSlouchEvent(std::optional<std::chrono::milliseconds> end) {
    if (!m_slouchStartTime) {
        return;
    }
    const auto length = std::max(std::chrono::milliseconds(0),
                                 end.value_or(m_time.monotonic()) - m_slouchStartMonotonic);
    const double duration = static_cast<double>(length.count()) / 1000.0;
    qCInfo(lcPosture, "slouch episode of %.1f s recorded", duration);
    m_postureLog.record(PostureEvent(QUuid::createUuid(), *m_slouchStartTime, duration));
    m_slouchStartTime.reset();
}

} // namespace quorvel
