#pragma once

#include <QProcessEnvironment>
#include <QString>

namespace quorvel {

// What the environment asks of this run, read once at start-up and handed to whoever needs
// it. These serve benchmarks, the package's install test and machines without a camera.
struct LaunchOptions {
    // QUORVEL_CAMERA_SOURCE: a Motion-JPEG recording played instead of the camera.
    QString cameraRecording;
    // QUORVEL_REPORT_SHOWN: print "shown <CLOCK_MONOTONIC ns>" on standard error once the
    // tray icon or the fallback window is on screen.
    bool reportShown = false;

    static LaunchOptions fromEnvironment(const QProcessEnvironment& environment);
};

} // namespace quorvel
