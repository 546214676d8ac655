#pragma once

#include "posture/PostureDetector.h"
#include "support/TestSupport.h"

#include <deque>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>

namespace quorvel::test {

using PoseScript = std::shared_ptr<std::deque<PoseResult>>;

// Hands out scripted pose answers, one per frame; when the script runs out, the request fails.
class ScriptedEstimator final : public PoseEstimator {
public:
    explicit ScriptedEstimator(PoseScript script) : m_script(std::move(script)) {}
    PoseResult estimate(const cv::Mat&) override {
        if (m_script->empty()) {
            return PoseResult{true, QStringLiteral("script ran out"), {}};
        }
        PoseResult next = m_script->front();
        m_script->pop_front();
        return next;
    }

private:
    PoseScript m_script;
};

inline PoseEstimatorFactory scriptedEstimators(PoseScript script) {
    return [script = std::move(script)](QString*) -> std::unique_ptr<PoseEstimator> {
        return std::make_unique<ScriptedEstimator>(script);
    };
}

// A factory whose model never loads.
inline PoseEstimatorFactory brokenEstimators() {
    return [](QString* error) -> std::unique_ptr<PoseEstimator> {
        *error = QStringLiteral("Pose model could not be loaded: file missing");
        return nullptr;
    };
}

// A person whose shoulder line is `width` wide at `height`.
inline PoseResult person(double width, double height = 0.5, float neckConfidence = 0.9f) {
    PoseObservation o;
    auto set = [&](PoseJointName joint, JointPoint p) {
        o.points[static_cast<size_t>(joint)] = p;
    };
    set(PoseJointName::nose, {0.25, height + 0.2, 0.9f});
    set(PoseJointName::neck, {0.25, height, neckConfidence});
    set(PoseJointName::leftEar, {0.2, height + 0.25, 0.9f});
    set(PoseJointName::rightEar, {0.3, height + 0.25, 0.9f});
    set(PoseJointName::leftShoulder, {0.0, height, 0.9f});
    set(PoseJointName::rightShoulder, {width, height, 0.9f});
    return PoseResult{false, {}, {o}};
}
inline PoseResult upright() {
    return person(0.5);
}
inline PoseResult slouched() {
    return person(0.4);
}
inline PoseResult nobody() {
    return PoseResult{false, {}, {}};
}

// The test photo upright, and the same photo sunk and shrunk as a slouch would make it.
inline std::pair<cv::Mat, cv::Mat> uprightAndSlouchedPhoto() {
    const cv::Mat up = cv::imread(testDataPath("astronaut.png").toStdString());
    if (up.empty()) {
        return {};
    }
    const double w = up.cols, h = up.rows;
    const cv::Mat sink = (cv::Mat_<double>(2, 3) << 0.85, 0, 0.15 * w / 2, //
                          0, 0.85, 0.15 * h + 0.08 * h);
    cv::Mat down;
    cv::warpAffine(up, down, sink, up.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return {up, down};
}

} // namespace quorvel::test
