// quorvel-probe: shows what the pose model makes of images, videos and the camera, and
// measures it. Every result is one JSON line on standard output.
//
//   quorvel-probe joints FILE...
//   quorvel-probe posture --baseline IMAGE [--sensitivity Low|Medium|High] FILE...
//   quorvel-probe bench [--runs N] [--threads N] [--precision auto|fp32|bf16|int8]
//                       [--frame WxH] IMAGE
//   quorvel-probe model [--threads N] [--precision auto|fp32|bf16|int8]
//   quorvel-probe camera [--frames N]      (through QUORVEL_CAMERA_PATH's path)
//   quorvel-probe cameras                  (what V4L2 and PipeWire each offer)

#include "app/LaunchOptions.h"
#include "camera/CameraDevices.h"
#include "camera/CameraManager.h"
#include "camera/V4L2FrameSource.h"
#include "camera/pipewire/PipeWireFrameSource.h"
#include "posture/PostureAnalyzer.h"
#include "posture/PostureDetector.h"
#include "posture/movenet/MoveNetEstimator.h"
#include "settings/SettingsManager.h"

#include "ToolSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>

using namespace quorvel;
using quorvel::tools::jsonNumber;
using quorvel::tools::printJsonLine;

namespace {

const tools::Tool probe(
    QStringLiteral("quorvel-probe"),
    QStringLiteral(
        "usage: quorvel-probe joints FILE...\n"
        "       quorvel-probe posture --baseline IMAGE [--sensitivity Low|Medium|High] FILE...\n"
        "       quorvel-probe bench [--runs N] [--threads N] [--precision auto|fp32|bf16|int8] "
        "[--frame WxH] IMAGE\n"
        "       quorvel-probe model [--threads N] [--precision auto|fp32|bf16|int8]\n"
        "       quorvel-probe camera [--frames N]\n"
        "       quorvel-probe cameras\n"));

double elapsedMs(const QElapsedTimer& timer) {
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Each joint as [x, y, confidence]; null when the first body has no point for one of them.
QJsonValue jointsJson(const std::optional<BodyJoints>& joints) {
    if (!joints) {
        return QJsonValue::Null;
    }
    const std::pair<const char*, JointPoint> named[] = {{"nose", joints->nose},
                                                        {"neck", joints->neck},
                                                        {"leftEar", joints->leftEar},
                                                        {"rightEar", joints->rightEar},
                                                        {"leftShoulder", joints->leftShoulder},
                                                        {"rightShoulder", joints->rightShoulder}};
    QJsonObject object;
    for (const auto& [name, p] : named) {
        object.insert(QLatin1String(name), QJsonArray{jsonNumber(p.x, 6), jsonNumber(p.y, 6),
                                                      jsonNumber(p.confidence, 6)});
    }
    return object;
}

// One frame's line of `joints` and `camera`: what the model found and how long it took.
QJsonObject jointsLine(const QString& source, int frame, double ms, const PoseResult& result) {
    QJsonObject line{{"source", source}, {"frame", frame}, {"ms", jsonNumber(ms, 2)}};
    if (result.failed) {
        line.insert("error", result.error);
    } else {
        line.insert("joints", jointsJson(PostureDetector::firstBodyJoints(result)));
    }
    return line;
}

// Parses a subcommand's arguments; nothing when they make no sense.
std::optional<QStringList> parse(QCommandLineParser& parser, const QStringList& args) {
    if (!probe.parse(parser, args)) {
        return std::nullopt;
    }
    return parser.positionalArguments();
}

// The model as the app finds it, QUORVEL_MODEL_DIR included; QUORVEL_POSE_PRECISION stands for
// an automatic `precision`.
std::unique_ptr<MoveNetEstimator>
loadModel(int threads, QString* error,
          MoveNetEstimator::Precision precision = MoveNetEstimator::Precision::automatic) {
    static const LaunchOptions launch =
        LaunchOptions::fromEnvironment(QProcessEnvironment::systemEnvironment());
    if (precision == MoveNetEstimator::Precision::automatic) {
        precision = launch.posePrecision;
    }
    return MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(launch.modelDirectory),
                                  error, threads, precision);
}

const QCommandLineOption precisionOption("precision",
                                         "auto (what the app chooses), fp32, bf16 or int8.",
                                         "auto|fp32|bf16|int8", "auto");

std::optional<MoveNetEstimator::Precision> precisionValue(const QCommandLineParser& parser) {
    for (auto p : {MoveNetEstimator::Precision::automatic, MoveNetEstimator::Precision::fp32,
                   MoveNetEstimator::Precision::bf16, MoveNetEstimator::Precision::int8}) {
        if (parser.value(precisionOption) == MoveNetEstimator::precisionName(p)) {
            return p;
        }
    }
    return std::nullopt;
}

// Which number format the model runs in, and why.
QJsonObject precisionJson(const MoveNetEstimator& estimator) {
    return {{"precision", MoveNetEstimator::precisionName(estimator.precision())},
            {"precisionReason", estimator.precisionReason()}};
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

int runJoints(const QStringList& args) {
    QCommandLineParser parser;
    const std::optional<QStringList> files = parse(parser, args);
    if (!files || files->isEmpty()) {
        return probe.usage();
    }
    QString error;
    const auto estimator = loadModel(1, &error);
    if (!estimator) {
        return probe.fail(error);
    }
    for (const QString& path : *files) {
        const bool readable = forEachFrame(path, [&](const cv::Mat& image, int n) {
            QElapsedTimer timer;
            timer.start();
            const PoseResult result = estimator->estimate(image);
            printJsonLine(jointsLine(path, n, elapsedMs(timer), result));
        });
        if (!readable) {
            return probe.fail(unreadable(path));
        }
    }
    return 0;
}

int runPosture(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{"baseline", "The upright picture to calibrate on.", "IMAGE"},
                       {"sensitivity", "Low, Medium or High.", "level", "Medium"}});
    const std::optional<QStringList> files = parse(parser, args);
    const auto sensitivity = slouchSensitivityFromRawValue(parser.value("sensitivity"));
    const QString baseline = parser.value("baseline");
    if (!files || files->isEmpty() || !sensitivity || baseline.isEmpty()) {
        return probe.usage();
    }
    QString error;
    const auto estimator = loadModel(1, &error);
    if (!estimator) {
        return probe.fail(error);
    }

    // A private settings store that disappears with the run; the user's is never touched.
    QTemporaryDir dir;
    if (!dir.isValid()) {
        return probe.fail(QStringLiteral("cannot create a temporary folder"));
    }
    SettingsManager settings(dir.filePath(QStringLiteral("settings.conf")));
    settings.setSensitivity(*sensitivity);
    PostureAnalyzer analyzer(settings);

    cv::Mat baselineImage = cv::imread(QFile::encodeName(baseline).toStdString(), cv::IMREAD_COLOR);
    if (baselineImage.empty()) {
        return probe.fail(QStringLiteral("cannot read %1 as an image").arg(baseline));
    }
    const auto upright = PostureDetector::usableJoints(estimator->estimate(baselineImage));
    if (!upright) {
        return probe.fail(
            QStringLiteral("no person with a clear nose and shoulders in %1").arg(baseline));
    }
    analyzer.startCalibration();
    for (int i = 0; i < PostureAnalyzer::calibrationFrameCount; ++i) {
        analyzer.addCalibrationFrame(*upright);
    }

    for (const QString& path : *files) {
        const bool readable = forEachFrame(path, [&](const cv::Mat& image, int n) {
            QElapsedTimer timer;
            timer.start();
            const PoseResult result = estimator->estimate(image);
            const std::optional<BodyJoints> usable = PostureDetector::usableJoints(result);
            const PostureStatus status =
                usable ? analyzer.analyze(*usable) : PostureStatus::noPersonDetected;
            const double ms = elapsedMs(timer);
            // The shoulders are shown also when the person is not usable.
            const std::optional<BodyJoints> joints = PostureDetector::firstBodyJoints(result);
            QJsonObject line{
                {"source", path},
                {"frame", n},
                {"ms", jsonNumber(ms, 2)},
                {"status", rawValue(status)},
                {"shoulderWidth", joints ? jsonNumber(joints->shoulderWidth(), 6) : QJsonValue()},
                {"shoulderY", joints ? jsonNumber(joints->shoulderMidpoint().y, 6) : QJsonValue()}};
            if (result.failed) {
                line.insert("error", result.error);
            }
            printJsonLine(line);
        });
        if (!readable) {
            return probe.fail(unreadable(path));
        }
    }
    return 0;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(i, values.size() - 1)];
}

int runBench(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{"runs", "Timed estimates.", "N"},
                       {"threads", "oneDNN threads.", "N"},
                       precisionOption,
                       {"frame", "The image as a camera of this size shows it.", "WxH"}});
    const std::optional<QStringList> images = parse(parser, args);
    const std::optional<cv::Size> frameSize = tools::Tool::sizeValue(parser, "frame", {});
    const auto precision = precisionValue(parser);
    const std::optional<int> runs =
        tools::Tool::intValue(parser, "runs", 200, 1, std::numeric_limits<int>::max());
    const std::optional<int> threads = tools::Tool::intValue(parser, "threads", 1, 1, 256);
    if (!images || images->size() != 1 || !runs || !threads || !precision || !frameSize) {
        return probe.usage();
    }
    const QString imagePath = images->front();
    cv::Mat image = cv::imread(QFile::encodeName(imagePath).toStdString(), cv::IMREAD_COLOR);
    if (image.empty()) {
        return probe.fail(QStringLiteral("cannot read %1 as an image").arg(imagePath));
    }
    if (!frameSize->empty()) {
        image = tools::letterboxed(image, *frameSize);
    }

    QElapsedTimer timer;
    timer.start();
    QString error;
    const auto estimator = loadModel(*threads, &error, *precision);
    if (!estimator) {
        return probe.fail(error);
    }
    const double loadMs = elapsedMs(timer);

    // Preprocessing, inference and decoding of one frame, as the detector calls it.
    for (int i = 0; i < 5; ++i) {
        estimator->estimate(image);
    }
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(*runs));
    for (int i = 0; i < *runs; ++i) {
        timer.restart();
        const PoseResult result = estimator->estimate(image);
        times.push_back(elapsedMs(timer));
        if (result.failed) {
            return probe.fail(result.error);
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
    QJsonObject line{{"median_ms", jsonNumber(percentile(times, 0.5), 3)},
                     {"p90_ms", jsonNumber(percentile(times, 0.9), 3)},
                     {"load_ms", jsonNumber(loadMs, 1)},
                     {"peak_rss_mb", jsonNumber(peakMb, 1)}};
    line.insert("precision", MoveNetEstimator::precisionName(estimator->precision()));
    printJsonLine(line);
    return 0;
}

// The model as the app would run it: the number format chosen, why, and oneDNN's kernels.
int runModel(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{"threads", "oneDNN threads.", "N"}, precisionOption});
    const std::optional<QStringList> rest = parse(parser, args);
    const std::optional<int> threads = tools::Tool::intValue(parser, "threads", 1, 1, 256);
    const auto precision = precisionValue(parser);
    if (!rest || !rest->isEmpty() || !threads || !precision) {
        return probe.usage();
    }
    QString error;
    const auto estimator = loadModel(*threads, &error, *precision);
    if (!estimator) {
        return probe.fail(error);
    }
    QJsonObject line = precisionJson(*estimator);
    line.insert("threads", estimator->threads());
    line.insert("workspaceBytes", static_cast<qint64>(estimator->workspaceBytes()));
    QStringList kernels = estimator->implementations();
    kernels.removeDuplicates();
    line.insert("kernels", QJsonArray::fromStringList(kernels));
    printJsonLine(line);
    return 0;
}

// The camera the app would watch through, by the path it would take, then the joints of its
// first few frames.
int runCamera(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption({"frames", "Frames to estimate.", "N"});
    const std::optional<QStringList> rest = parse(parser, args);
    const std::optional<int> frames =
        tools::Tool::intValue(parser, "frames", 5, 1, std::numeric_limits<int>::max());
    if (!rest || !rest->isEmpty() || !frames) {
        return probe.usage();
    }
    std::unique_ptr<FrameSource> opened;
    QString name;
    const auto path =
        LaunchOptions::fromEnvironment(QProcessEnvironment::systemEnvironment()).cameraPath;
    const bool throughPipeWire =
        path == CameraManager::Path::pipewire ||
        (path == CameraManager::Path::automatic &&
         dynamic_cast<PipeWireFrameSource*>(
             CameraManager::sessionCameraSource(listCameraDevices()).get()) != nullptr);
    if (throughPipeWire) {
        // Opened the way the camera manager opens it, with its messages.
        auto pipewire = std::make_unique<PipeWireFrameSource>();
        const OpenStatus status = pipewire->open();
        if (const auto problem =
                CameraManager::openFailureText(status, pipewire->errorDescription())) {
            return probe.fail(*problem);
        }
        name = QStringLiteral("pipewire:%1").arg(pipewire->camera()->id);
        printJsonLine({{"device", name}, {"name", pipewire->camera()->description}});
        opened = std::move(pipewire);
    } else {
        const std::vector<CameraDevice> devices = listCameraDevices();
        const std::optional<CameraDevice> device = chooseCameraDevice(devices);
        if (!device) {
            return probe.fail(CameraManager::noCameraText());
        }
        const auto known = [&](bool value) {
            return device->capabilitiesKnown ? QJsonValue(value) : QJsonValue();
        };
        printJsonLine({{"device", device->path},
                       {"name", device->name},
                       {"canCapture", known(device->canCapture)},
                       {"monochromeOnly", known(device->monochromeOnly)},
                       {"devices", static_cast<qint64>(devices.size())}});
        auto v4l2 = std::make_unique<V4L2FrameSource>(device->path);
        const OpenStatus status = v4l2->open();
        if (const auto problem = CameraManager::openFailureText(status, v4l2->errorDescription())) {
            return probe.fail(*problem);
        }
        // What the camera agreed to: the format it sends, the frame size and the frame rate.
        const quint32 fourcc = v4l2->pixelFormat();
        const QString format = QString::fromLatin1(reinterpret_cast<const char*>(&fourcc), 4);
        const v4l2_fract interval = v4l2->frameInterval();
        printJsonLine(
            {{"device", device->path},
             {"format", format},
             {"width", v4l2->frameSize().width},
             {"height", v4l2->frameSize().height},
             {"fps", interval.numerator > 0
                         ? jsonNumber(double(interval.denominator) / interval.numerator, 2)
                         : QJsonValue()}});
        name = device->path;
        opened = std::move(v4l2);
    }
    FrameSource& source = *opened;
    QString error;
    const auto estimator = loadModel(1, &error);
    if (!estimator) {
        source.close();
        return probe.fail(error);
    }
    // A camera may deliver nothing for a moment after opening; three seconds without a
    // picture count as stopped, as in the app.
    QElapsedTimer silence;
    silence.start();
    cv::Mat image;
    for (int n = 0; n < *frames;) {
        const GrabResult grabbed = source.grab();
        if (grabbed == GrabResult::failed) {
            const QString why = source.deviceGone()
                                    ? CameraManager::disconnectedText()
                                    : CameraManager::failingPrefix() + source.errorDescription();
            source.close();
            return probe.fail(why);
        }
        if (grabbed == GrabResult::noFrame && silence.elapsed() > 3000) {
            source.close();
            return probe.fail(CameraManager::stalledText());
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
        printJsonLine(jointsLine(name, n++, elapsedMs(timer), result));
    }
    if (auto* pipewire = dynamic_cast<PipeWireFrameSource*>(&source)) {
        printJsonLine({{"device", name}, {"format", pipewire->formatDescription()}});
    }
    source.close();
    return 0;
}

// The cameras each path offers, and the one each would choose.
int runCameras(const QStringList& args) {
    if (!args.isEmpty()) {
        return probe.usage();
    }
    const std::vector<CameraDevice> devices = listCameraDevices();
    const std::optional<CameraDevice> device = chooseCameraDevice(devices);
    for (const CameraDevice& d : devices) {
        printJsonLine({{"path", "v4l2"},
                       {"device", d.path},
                       {"name", d.name},
                       {"needsLibcamera", d.needsLibcamera},
                       {"chosen", device && device->path == d.path}});
    }
    // The path Quorvel takes when QUORVEL_CAMERA_PATH does not choose one.
    const bool automaticPipeWire =
        dynamic_cast<PipeWireFrameSource*>(CameraManager::sessionCameraSource(devices).get()) !=
        nullptr;
    printJsonLine({{"path", "automatic"}, {"takes", automaticPipeWire ? "pipewire" : "v4l2"}});
    QString error;
    const auto cameras = PipeWireFrameSource::listCameras(&error);
    if (!cameras) {
        printJsonLine({{"path", "pipewire"}, {"error", error}});
        return 0;
    }
    const std::optional<PipeWireCamera> chosen = choosePipeWireCamera(*cameras, devices);
    // The V4L2 path reads a camera that needs libcamera through PipeWire's libcamera node.
    const auto libcamera =
        device && device->needsLibcamera ? libcameraCamera(*cameras, devices) : std::nullopt;
    for (const PipeWireCamera& c : *cameras) {
        printJsonLine(
            {{"path", "pipewire"},
             {"node", static_cast<qint64>(c.id)},
             {"name", c.description},
             {"v4l2", c.v4l2Path.isEmpty() ? QJsonValue() : QJsonValue(c.v4l2Path)},
             {"libcamera",
              c.libcameraLocation.isEmpty() ? QJsonValue() : QJsonValue(c.libcameraLocation)},
             {"chosen", chosen && chosen->id == c.id},
             {"chosenByV4l2Path", libcamera && libcamera->id == c.id}});
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        return probe.usage();
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
    if (command == "model") {
        return runModel(args);
    }
    if (command == "camera") {
        return runCamera(args);
    }
    if (command == "cameras") {
        return runCameras(args);
    }
    return probe.usage();
}
