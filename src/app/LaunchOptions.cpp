#include "app/LaunchOptions.h"

#include "app/AppLogging.h"

namespace quorvel {

LaunchOptions LaunchOptions::fromEnvironment(const QProcessEnvironment& environment) {
    LaunchOptions options;
    options.cameraRecording = environment.value(QStringLiteral("QUORVEL_CAMERA_SOURCE"));
    options.cameraUseLog = environment.value(QStringLiteral("QUORVEL_CAMERA_SOURCE_LOG"));
    options.modelDirectory = environment.value(QStringLiteral("QUORVEL_MODEL_DIR"));
    const QString precision =
        environment.value(QStringLiteral("QUORVEL_POSE_PRECISION")).trimmed().toLower();
    for (const auto p : {MoveNetEstimator::Precision::fp32, MoveNetEstimator::Precision::bf16,
                         MoveNetEstimator::Precision::int8}) {
        if (precision == MoveNetEstimator::precisionName(p)) {
            options.posePrecision = p;
        }
    }
    if (options.posePrecision == MoveNetEstimator::Precision::automatic && !precision.isEmpty() &&
        precision != QLatin1String("auto")) {
        qCWarning(lcApp, "QUORVEL_POSE_PRECISION=%s is not fp32, bf16, int8 or auto; ignored",
                  qUtf8Printable(precision));
    }
    options.reportShown = environment.contains(QStringLiteral("QUORVEL_REPORT_SHOWN"));
    return options;
}

} // namespace quorvel
