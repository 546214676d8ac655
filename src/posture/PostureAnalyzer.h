#pragma once

#include "posture/PostureModels.h"
#include "settings/SettingsManager.h"

#include <QMutex>
#include <vector>

namespace quorvel {

// Turns one frame's joints into a verdict against the calibrated shoulder baseline, and
// runs the calibration that records that baseline in the settings store.
//
// Called from the camera thread (frames) and the main thread (calibration start and
// reset); every call is serialised by a lock, so each behaves as if it ran alone.
class PostureAnalyzer {
public:
    static constexpr int calibrationFrameCount = 10;

    explicit PostureAnalyzer(SettingsManager& settings = SettingsManager::shared());

    PostureAnalyzer(const PostureAnalyzer&) = delete;
    PostureAnalyzer& operator=(const PostureAnalyzer&) = delete;

    bool isCalibrating() const;
    void setIsCalibrating(bool value);

    // A stored baseline flag with a positive stored width.
    bool isCalibrated() const;

    void startCalibration();
    // True exactly when this frame completed the calibration.
    bool addCalibrationFrame(const BodyJoints& joints);
    PostureStatus analyze(const BodyJoints& joints) const;
    void resetCalibration();

    // Frames collected so far by the running calibration.
    int calibrationFrameCountSoFar() const;

private:
    SettingsManager& m_settings;
    mutable QMutex m_mutex;
    std::vector<BodyJoints> m_calibrationFrames;
    bool m_isCalibrating = false;
};

} // namespace quorvel
