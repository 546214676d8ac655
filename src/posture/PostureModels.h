#pragma once

#include <QString>
#include <optional>

namespace quorvel {

// The verdict for one frame; the raw value is the text the panel shows.
enum class PostureStatus { good, slouching, noPersonDetected, calibrating, notMonitoring };

QString rawValue(PostureStatus status);
// The status as the panel and the tray show it, in the user's language.
QString label(PostureStatus status);
std::optional<PostureStatus> postureStatusFromRawValue(const QString& raw);

// One body landmark in normalised image coordinates: origin at the lower left, y upward.
struct JointPoint {
    double x = 0.0;
    double y = 0.0;
    float confidence = 0.0f;

    // Strictly above 0.3, compared in single precision.
    bool isValid() const { return confidence > 0.3f; }
};

// The six upper-body landmarks of one frame and what is derived from them.
struct BodyJoints {
    JointPoint nose;
    JointPoint neck;
    JointPoint leftEar;
    JointPoint rightEar;
    JointPoint leftShoulder;
    JointPoint rightShoulder;

    JointPoint shoulderMidpoint() const;
    JointPoint earMidpoint() const;
    double shoulderWidth() const;
    bool hasValidKeyJoints() const;
    bool hasValidEars() const;
    double noseToShoulderRatio() const;
    double earToShoulderRatio() const;
};

} // namespace quorvel
