#pragma once

#include "posture/PostureModels.h"

#include <QString>
#include <array>
#include <optional>
#include <vector>

namespace cv {
class Mat;
}

namespace quorvel {

// The body landmarks the posture detector asks a pose estimator for.
enum class PoseJointName { nose, neck, leftEar, rightEar, leftShoulder, rightShoulder };

inline constexpr std::array<PoseJointName, 6> allPoseJointNames{
    PoseJointName::nose,     PoseJointName::neck,         PoseJointName::leftEar,
    PoseJointName::rightEar, PoseJointName::leftShoulder, PoseJointName::rightShoulder};

// One body found in an image: the named joints in normalised coordinates, origin lower left,
// y up. A joint the estimator could not place has no point.
struct PoseObservation {
    std::array<std::optional<JointPoint>, 6> points; // indexed by PoseJointName

    std::optional<JointPoint> recognizedPoint(PoseJointName joint) const {
        return points[static_cast<std::size_t>(joint)];
    }
};

// What one request on one image gives.
struct PoseResult {
    bool failed = false;                       // performing the request failed
    QString error;                             // why, when failed
    std::vector<PoseObservation> observations; // first = "the first body found"
};

// Finds bodies in one image. Implementations: MoveNetEstimator; tests supply their own.
class PoseEstimator {
public:
    virtual ~PoseEstimator() = default;
    virtual PoseResult estimate(const cv::Mat& bgr) = 0; // 8-bit BGR; called on the camera thread
};

} // namespace quorvel
