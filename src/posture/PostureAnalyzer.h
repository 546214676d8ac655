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
// reset); every call behaves as if it ran alone: a calibration that finished before a reset
// never writes its baseline after the reset has begun.
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
    mutable QMutex m_mutex; // the fields below
    // Held while the baseline is written to the store, so that the writes of a finishing
    // calibration and of a reset never interleave. Recursive: store observers on the writing
    // thread may reset.
    QRecursiveMutex m_storeMutex;
    std::vector<BodyJoints> m_calibrationFrames;
    bool m_isCalibrating = false;
    quint64 m_resets = 0; // resets so far
};

} // namespace quorvel
