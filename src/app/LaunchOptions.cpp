#include "app/LaunchOptions.h"

namespace quorvel {

LaunchOptions LaunchOptions::fromEnvironment(const QProcessEnvironment& environment) {
    LaunchOptions options;
    options.cameraRecording = environment.value(QStringLiteral("QUORVEL_CAMERA_SOURCE"));
    options.reportShown = environment.contains(QStringLiteral("QUORVEL_REPORT_SHOWN"));
    return options;
}

} // namespace quorvel
