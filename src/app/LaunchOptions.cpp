#include "app/LaunchOptions.h"

#include "app/AppLogging.h"

namespace quorvel {

LaunchOptions LaunchOptions::fromEnvironment(const QProcessEnvironment& environment) {
    LaunchOptions options;
    options.cameraRecording = environment.value(QStringLiteral("QUORVEL_CAMERA_SOURCE"));
    options.cameraUseLog = environment.value(QStringLiteral("QUORVEL_CAMERA_SOURCE_LOG"));
    const QString path =
        environment.value(QStringLiteral("QUORVEL_CAMERA_PATH")).trimmed().toLower();
    if (path == QLatin1String("pipewire")) {
        options.cameraPath = CameraManager::Path::pipewire;
    } else if (path == QLatin1String("v4l2")) {
        options.cameraPath = CameraManager::Path::v4l2;
    } else if (!path.isEmpty() && path != QLatin1String("auto")) {
        qCWarning(lcApp, "QUORVEL_CAMERA_PATH=%s is not pipewire, v4l2 or auto; ignored",
                  qUtf8Printable(path));
    }
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
    if (const QString away = environment.value(QStringLiteral("QUORVEL_AWAY_SECONDS")).trimmed();
        !away.isEmpty()) {
        bool ok = false;
        const qint64 seconds = away.toLongLong(&ok);
        if (ok && seconds >= 1) {
            options.awaySeconds = seconds;
        } else {
            qCWarning(lcApp, "QUORVEL_AWAY_SECONDS=%s is not a number of seconds; ignored",
                      qUtf8Printable(away));
        }
    }
    options.reportShown = environment.contains(QStringLiteral("QUORVEL_REPORT_SHOWN"));
    return options;
}

} // namespace quorvel
