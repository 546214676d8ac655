#include "posture/PostureModels.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <cmath>

namespace quorvel {

namespace {

constexpr std::array<PostureStatus, 5> allStatuses{
    PostureStatus::good, PostureStatus::slouching, PostureStatus::noPersonDetected,
    PostureStatus::calibrating, PostureStatus::notMonitoring};

JointPoint midpoint(const JointPoint& a, const JointPoint& b) {
    return {(a.x + b.x) / 2.0, (a.y + b.y) / 2.0, std::min(a.confidence, b.confidence)};
}

// Each case's raw value, which is also its English text.
const char* text(PostureStatus status) {
    switch (status) {
    case PostureStatus::good:
        return QT_TRANSLATE_NOOP("PostureStatus", "Good");
    case PostureStatus::slouching:
        return QT_TRANSLATE_NOOP("PostureStatus", "Slouching");
    case PostureStatus::noPersonDetected:
        return QT_TRANSLATE_NOOP("PostureStatus", "No person detected");
    case PostureStatus::calibrating:
        return QT_TRANSLATE_NOOP("PostureStatus", "Calibrating");
    case PostureStatus::notMonitoring:
        return QT_TRANSLATE_NOOP("PostureStatus", "Not monitoring");
    }
    Q_UNREACHABLE();
    return "";
}

} // namespace

QString rawValue(PostureStatus status) {
    return QString::fromLatin1(text(status));
}

QString label(PostureStatus status) {
    return QCoreApplication::translate("PostureStatus", text(status));
}

std::optional<PostureStatus> postureStatusFromRawValue(const QString& raw) {
    for (auto s : allStatuses) {
        if (rawValue(s) == raw) {
            return s;
        }
    }
    return std::nullopt;
}

JointPoint BodyJoints::shoulderMidpoint() const {
    return midpoint(leftShoulder, rightShoulder);
}

JointPoint BodyJoints::earMidpoint() const {
    return midpoint(leftEar, rightEar);
}

double BodyJoints::shoulderWidth() const {
    const double dx = rightShoulder.x - leftShoulder.x;
    const double dy = rightShoulder.y - leftShoulder.y;
    return std::sqrt(dx * dx + dy * dy);
}

bool BodyJoints::hasValidKeyJoints() const {
    return nose.isValid() && leftShoulder.isValid() && rightShoulder.isValid();
}

bool BodyJoints::hasValidEars() const {
    return leftEar.isValid() && rightEar.isValid();
}

double BodyJoints::noseToShoulderRatio() const {
    const double width = shoulderWidth();
    if (!(width > 0.01)) { // also false for NaN
        return 0.0;
    }
    return (nose.y - shoulderMidpoint().y) / width;
}

double BodyJoints::earToShoulderRatio() const {
    const double width = shoulderWidth();
    if (!(width > 0.01) || !hasValidEars()) {
        return 0.0;
    }
    return (earMidpoint().y - shoulderMidpoint().y) / width;
}

} // namespace quorvel
