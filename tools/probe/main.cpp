// quorvel-probe: shows what the pose model makes of images, videos and the camera, and
// measures it. Every result is one JSON line on standard output.
//
//   quorvel-probe joints FILE...
//   quorvel-probe posture --baseline IMAGE [--sensitivity Low|Medium|High] FILE...
//   quorvel-probe bench [--runs N] [--threads N] IMAGE
//   quorvel-probe camera [--frames N]

#include "camera/CameraDevices.h"
#include "camera/CameraManager.h"
#include "camera/V4L2FrameSource.h"
#include "posture/PostureAnalyzer.h"
#include "posture/PostureDetector.h"
#include "posture/movenet/MoveNetEstimator.h"
#include "settings/SettingsManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

using namespace quorvel;

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

const char* const usageText =
    "usage: quorvel-probe joints FILE...\n"
    "       quorvel-probe posture --baseline IMAGE [--sensitivity Low|Medium|High] FILE...\n"
    "       quorvel-probe bench [--runs N] [--threads N] IMAGE\n"
    "       quorvel-probe camera [--frames N]\n";

int usage() {
    std::fputs(usageText, stderr);
    return exitUsage;
}

int fail(const QString& message) {
    std::fprintf(stderr, "quorvel-probe: %s\n", qUtf8Printable(message));
    return exitFailure;
}

void printLine(const QString& line) {
    std::fputs(qUtf8Printable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

QString jsonString(const QString& s) {
    const QByteArray array = QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString number(double v, int decimals) {
    return std::isfinite(v) ? QString::number(v, 'f', decimals) : QStringLiteral("null");
}

// The six joints of the first body, exactly as the posture detector takes them.
std::optional<BodyJoints> extractJoints(const PoseResult& result) {
    if (result.failed || result.observations.empty()) {
        return std::nullopt;
    }
    return PostureDetector::extractJoints(result.observations.front());
}

QString jointsJson(const std::optional<BodyJoints>& joints) {
    if (!joints) {
        return QStringLiteral("null");
    }
    const std::pair<const char*, JointPoint> named[] = {{"nose", joints->nose},
                                                        {"neck", joints->neck},
                                                        {"leftEar", joints->leftEar},
                                                        {"rightEar", joints->rightEar},
                                                        {"leftShoulder", joints->leftShoulder},
                                                        {"rightShoulder", joints->rightShoulder}};
    QStringList parts;
    for (const auto& [name, p] : named) {
        parts << QStringLiteral("\"%1\": [%2, %3, %4]")
                     .arg(QLatin1String(name), number(p.x, 6), number(p.y, 6),
                          number(p.confidence, 6));
    }
    return QLatin1Char('{') + parts.join(QStringLiteral(", ")) + QLatin1Char('}');
}

std::unique_ptr<MoveNetEstimator> loadModel(int threads, QString* error) {
    return MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(), error, threads);
}

// Calls `frame` for every frame of an image or a video; false when the file is unreadable.
bool forEachFrame(const QString& path, const std::function<void(const cv::Mat&, int)>& frame) {
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        return false;
    }
    const std::string file = QFile::encodeName(path).toStdString();
    cv::Mat image = cv::imread(file, cv::IMREAD_COLOR);
    if (!image.empty()) {
        frame(image, 0);
        return true;
    }
    cv::VideoCapture video(file, cv::CAP_FFMPEG);
    if (!video.isOpened() || !video.read(image) || image.empty()) {
        return false;
    }
    int n = 0;
    do {
        frame(image, n++);
    } while (video.read(image) && !image.empty());
    return true;
}

QString unreadable(const QString& path) {
    return QStringLiteral("cannot read %1 as an image or a video").arg(path);
}

int runJoints(const QStringList& files) {
    if (files.isEmpty()) {
        return usage();
    }
    QString error;
    const auto estimator = loadModel(1, &error);
    if (!estimator) {
        return fail(error);
    }
    for (const QString& path : files) {
        const bool readable = forEachFrame(path, [&](const cv::Mat& image, int n) {
            QElapsedTimer timer;
            timer.start();
            const PoseResult result = estimator->estimate(image);
            const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            QString line = QStringLiteral("{\"source\": %1, \"frame\": %2, \"ms\": %3, ")
                               .arg(jsonString(path))
                               .arg(n)
                               .arg(number(ms, 2));
            line += result.failed
                        ? QStringLiteral("\"error\": %1}").arg(jsonString(result.error))
                        : QStringLiteral("\"joints\": %1}").arg(jointsJson(extractJoints(result)));
            printLine(line);
        });
        if (!readable) {
            return fail(unreadable(path));
        }
    }
    return 0;
}

int runPosture(QStringList args) {
    QString baseline;
    SlouchSensitivity sensitivity = SlouchSensitivity::medium;
    QStringList files;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == "--baseline" && !args.isEmpty()) {
            baseline = args.takeFirst();
        } else if (a == "--sensitivity" && !args.isEmpty()) {
            const auto s = slouchSensitivityFromRawValue(args.takeFirst());
            if (!s) {
                return usage();
            }
            sensitivity = *s;
        } else if (a.startsWith("--")) {
            return usage();
        } else {
            files << a;
        }
    }
    if (baseline.isEmpty() || files.isEmpty()) {
        return usage();
    }
    QString error;
    const auto estimator = loadModel(1, &error);
    if (!estimator) {
        return fail(error);
    }

    // A private settings store that disappears with the run; the user's is never touched.
    QTemporaryDir dir;
    if (!dir.isValid()) {
        return fail(QStringLiteral("cannot create a temporary folder"));
    }
    SettingsManager settings(dir.filePath(QStringLiteral("settings.conf")));
    settings.setSensitivity(sensitivity);
    PostureAnalyzer analyzer(settings);

    cv::Mat baselineImage = cv::imread(QFile::encodeName(baseline).toStdString(), cv::IMREAD_COLOR);
    if (baselineImage.empty()) {
        return fail(QStringLiteral("cannot read %1 as an image").arg(baseline));
    }
    const std::optional<BodyJoints> upright = extractJoints(estimator->estimate(baselineImage));
    if (!upright || !upright->hasValidKeyJoints() || !upright->neck.isValid()) {
        return fail(
            QStringLiteral("no person with a clear nose and shoulders in %1").arg(baseline));
    }
    analyzer.startCalibration();
    for (int i = 0; i < PostureAnalyzer::calibrationFrameCount; ++i) {
        analyzer.addCalibrationFrame(*upright);
    }

    for (const QString& path : files) {
        const bool readable = forEachFrame(path, [&](const cv::Mat& image, int n) {
            QElapsedTimer timer;
            timer.start();
            const PoseResult result = estimator->estimate(image);
            const std::optional<BodyJoints> joints = extractJoints(result);
            PostureStatus status = PostureStatus::noPersonDetected;
            if (joints && joints->hasValidKeyJoints() && joints->neck.isValid()) {
                status = analyzer.analyze(*joints);
            }
            const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            QString line =
                QStringLiteral("{\"source\": %1, \"frame\": %2, \"ms\": %3, \"status\": %4, ")
                    .arg(jsonString(path))
                    .arg(n)
                    .arg(number(ms, 2), jsonString(rawValue(status)));
            line +=
                QStringLiteral("\"shoulderWidth\": %1, \"shoulderY\": %2")
                    .arg(joints ? number(joints->shoulderWidth(), 6) : QStringLiteral("null"),
                         joints ? number(joints->shoulderMidpoint().y, 6) : QStringLiteral("null"));
            if (result.failed) {
                line += QStringLiteral(", \"error\": %1").arg(jsonString(result.error));
            }
            printLine(line + QLatin1Char('}'));
        });
        if (!readable) {
            return fail(unreadable(path));
        }
    }
    return 0;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(i, values.size() - 1)];
}

int runBench(QStringList args) {
    int runs = 200;
    int threads = 1;
    QString imagePath;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        bool ok = true;
        if (a == "--runs" && !args.isEmpty()) {
            runs = args.takeFirst().toInt(&ok);
            ok = ok && runs > 0;
        } else if (a == "--threads" && !args.isEmpty()) {
            threads = args.takeFirst().toInt(&ok);
            ok = ok && threads > 0 && threads <= 256;
        } else if (!a.startsWith("--") && imagePath.isEmpty()) {
            imagePath = a;
        } else {
            ok = false;
        }
        if (!ok) {
            return usage();
        }
    }
    if (imagePath.isEmpty()) {
        return usage();
    }
    const cv::Mat image = cv::imread(QFile::encodeName(imagePath).toStdString(), cv::IMREAD_COLOR);
    if (image.empty()) {
        return fail(QStringLiteral("cannot read %1 as an image").arg(imagePath));
    }

    QElapsedTimer timer;
    timer.start();
    QString error;
    const auto estimator = loadModel(threads, &error);
    if (!estimator) {
        return fail(error);
    }
    const double loadMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;

    // Preprocessing, inference and decoding of one frame, as the detector calls it.
    for (int i = 0; i < 5; ++i) {
        estimator->estimate(image);
    }
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        timer.restart();
        const PoseResult result = estimator->estimate(image);
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        if (result.failed) {
            return fail(result.error);
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
    printLine(
        QStringLiteral("{\"median_ms\": %1, \"p90_ms\": %2, \"load_ms\": %3, \"peak_rss_mb\": %4}")
            .arg(number(percentile(times, 0.5), 3), number(percentile(times, 0.9), 3),
                 number(loadMs, 1), number(peakMb, 1)));
    return 0;
}

// The camera the app would watch through, then the joints of its first few frames.
int runCamera(QStringList args) {
    int frames = 5;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        bool ok = false;
        if (a == "--frames" && !args.isEmpty()) {
            frames = args.takeFirst().toInt(&ok);
            ok = ok && frames > 0;
        }
        if (!ok) {
            return usage();
        }
    }
    const std::vector<CameraDevice> devices = listCameraDevices();
    const std::optional<CameraDevice> device = chooseCameraDevice(devices);
    if (!device) {
        return fail(CameraManager::noCameraText);
    }
    printLine(
        QStringLiteral("{\"device\": %1, \"name\": %2, \"canCapture\": %3, "
                       "\"monochromeOnly\": %4, \"devices\": %5}")
            .arg(jsonString(device->path), jsonString(device->name),
                 device->capabilitiesKnown ? (device->canCapture ? "true" : "false") : "null",
                 device->capabilitiesKnown ? (device->monochromeOnly ? "true" : "false") : "null")
            .arg(devices.size()));

    // Opened the way the camera manager opens it, with its messages.
    V4L2FrameSource source(device->path);
    const OpenStatus opened = source.open();
    if (const auto problem = CameraManager::openFailureText(opened, source.errorDescription())) {
        return fail(*problem);
    }
    // What the camera agreed to: the format it sends, the frame size and the frame rate.
    const quint32 fourcc = source.pixelFormat();
    const QString format = QString::fromLatin1(reinterpret_cast<const char*>(&fourcc), 4);
    const v4l2_fract interval = source.frameInterval();
    printLine(QStringLiteral("{\"device\": %1, \"format\": %2, \"width\": %3, \"height\": %4, "
                             "\"fps\": %5}")
                  .arg(jsonString(device->path), jsonString(format))
                  .arg(source.frameSize().width)
                  .arg(source.frameSize().height)
                  .arg(interval.numerator > 0
                           ? number(double(interval.denominator) / double(interval.numerator), 2)
                           : QStringLiteral("null")));
    QString error;
    const auto estimator = loadModel(1, &error);
    if (!estimator) {
        source.close();
        return fail(error);
    }
    // A camera may deliver nothing for a moment after opening; three seconds without a
    // picture count as stopped, as in the app.
    QElapsedTimer silence;
    silence.start();
    cv::Mat image;
    for (int n = 0; n < frames;) {
        const GrabResult grabbed = source.grab();
        if (grabbed == GrabResult::failed ||
            (grabbed == GrabResult::noFrame && silence.elapsed() > 3000)) {
            source.close();
            return fail(CameraManager::interruptedText);
        }
        if (grabbed == GrabResult::noFrame) {
            continue;
        }
        if (!source.retrieve(image) || !convertToBgr8(image)) {
            continue; // frames without a picture count as silence
        }
        silence.restart();
        QElapsedTimer timer;
        timer.start();
        const PoseResult result = estimator->estimate(image);
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        QString line = QStringLiteral("{\"source\": %1, \"frame\": %2, \"ms\": %3, ")
                           .arg(jsonString(device->path))
                           .arg(n++)
                           .arg(number(ms, 2));
        line += result.failed
                    ? QStringLiteral("\"error\": %1}").arg(jsonString(result.error))
                    : QStringLiteral("\"joints\": %1}").arg(jointsJson(extractJoints(result)));
        printLine(line);
    }
    source.close();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        return usage();
    }
    const QString command = args.takeFirst();
    if (command == "joints") {
        return runJoints(args);
    }
    if (command == "posture") {
        return runPosture(args);
    }
    if (command == "bench") {
        return runBench(args);
    }
    if (command == "camera") {
        return runCamera(args);
    }
    return usage();
}
