#pragma once

#include "camera/CameraManager.h"
#include "posture/movenet/MoveNetEstimator.h"

#include <QProcessEnvironment>
#include <QString>
#include <optional>

namespace quorvel {

// What the environment asks of this run, read once at start-up and handed to whoever needs
// it. These serve benchmarks, the package's install test and machines without a camera.
struct LaunchOptions {
    // QUORVEL_CAMERA_SOURCE: a Motion-JPEG recording played instead of the camera.
    QString cameraRecording;
    // QUORVEL_CAMERA_SOURCE_LOG: a file the recording appends "open" and "close" to each time
    // it starts and stops streaming, as a camera's light goes on and off.
    QString cameraUseLog;
    // QUORVEL_CAMERA_PATH: "pipewire" reads the camera through PipeWire, "v4l2" opens its
    // device node; unset (or "auto"), PipeWire where the session offers the camera, its device
    // node otherwise. Anything else is ignored with a warning.
    CameraManager::Path cameraPath = CameraManager::Path::automatic;
    // QUORVEL_MODEL_DIR: the folder of the pose model, instead of the installed one.
    QString modelDirectory;
    // QUORVEL_POSE_PRECISION: "fp32", "bf16" or "int8" instead of the number format the pose
    // model would choose; "auto", unset or anything else (with a warning) leaves the choice
    // to it.
    MoveNetEstimator::Precision posePrecision = MoveNetEstimator::Precision::automatic;
    // QUORVEL_AWAY_SECONDS: how long without input or anyone in view counts as away, instead
    // of five minutes (to see the desktop's idle signs at work without waiting); a number of
    // seconds from 1 up, or it is ignored with a warning.
    std::optional<qint64> awaySeconds;
    // QUORVEL_REPORT_SHOWN: print "shown <CLOCK_MONOTONIC ns>" on standard error once the
    // tray icon or the fallback window is on screen.
    bool reportShown = false;

    static LaunchOptions fromEnvironment(const QProcessEnvironment& environment);
};

} // namespace quorvel
