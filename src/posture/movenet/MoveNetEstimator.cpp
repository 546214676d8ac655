#include "posture/movenet/MoveNetEstimator.h"

#include "QuorvelModelPaths.h"
#include "posture/PostureLogging.h"
#include "posture/movenet/MoveNetEngine.h"
#include "posture/movenet/MoveNetNetwork.h"
#include "posture/movenet/SquareShrink.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <stdexcept>
#include <utility>

namespace quorvel {

namespace {

// The graph's normalisation of one 8-bit value of channel c, step by step in its order and
// precision.
float normalise(std::size_t value, std::size_t c,
                const std::vector<movenet::NormalisationStep>& steps) {
    float v = static_cast<float>(value);
    for (const movenet::NormalisationStep& step : steps) {
        const float k = step.value[c];
        switch (step.op) {
        case movenet::NormalisationStep::Op::subtract:
            v = v - k;
            break;
        case movenet::NormalisationStep::Op::multiply:
            v = v * k;
            break;
        case movenet::NormalisationStep::Op::add:
            v = v + k;
            break;
        case movenet::NormalisationStep::Op::divide:
            v = v / k;
            break;
        }
    }
    return v;
}

// Throws ModelError unless both files are the published model's.
void checkPublishedFiles(const QString& dir) {
    static const std::pair<const char*, const char*> files[] = {
        {"movenet-lightning.json", QUORVEL_MODEL_SHA256_JSON},
        {"movenet-lightning.bin", QUORVEL_MODEL_SHA256_BIN},
    };
    for (const auto& [name, sum] : files) {
        const QString path = QDir::toNativeSeparators(QDir(dir).filePath(QLatin1String(name)));
        QFile file(path);
        if (!file.exists()) {
            throw movenet::ModelError(QStringLiteral("%1 is missing").arg(path));
        }
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
            throw movenet::ModelError(
                QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
        }
        if (hash.result().toHex() != QByteArrayView(sum)) {
            throw movenet::ModelError(
                QStringLiteral("%1 is damaged (its SHA-256 sum is not the published model's); "
                               "fetch the model again")
                    .arg(path));
        }
    }
}

// The picture a lower precision is checked on before it is used: the test portrait as the network
// sees it, 192x192 8-bit BGR row by row (raw, so that no image decoder is loaded for it).
cv::Mat checkPicture(int size) {
    QFile file(QStringLiteral(":/resources/posture/pose-check.bgr"));
    const qint64 bytes = qint64(size) * size * 3;
    if (!file.open(QIODevice::ReadOnly) || file.size() != bytes) {
        throw movenet::ModelError(QStringLiteral("the built-in check picture is missing"));
    }
    cv::Mat bgr(size, size, CV_8UC3);
    if (file.read(reinterpret_cast<char*>(bgr.data), bytes) != bytes) {
        throw movenet::ModelError(QStringLiteral("the built-in check picture cannot be read"));
    }
    return bgr;
}

// The published model's float32 keypoints on the check picture (y, x), by keypoint index,
// for the keypoints the posture rules read.
constexpr std::array<std::array<float, 3>, 5> checkReference{{{0, 0.235514f, 0.432487f},
                                                              {3, 0.223899f, 0.538827f},
                                                              {4, 0.216761f, 0.342959f},
                                                              {5, 0.533769f, 0.624416f},
                                                              {6, 0.500800f, 0.210637f}}};

// What the first load in this process found out, per model folder and thread count: the
// precision and why, and the float32 tensor ranges int8 is scaled by. Loads happen on the
// camera thread and, in tools and tests, on others.
struct Decision {
    MoveNetEstimator::Precision precision = MoveNetEstimator::Precision::automatic;
    QString reason;
};
struct Remembered {
    QMutex mutex;
    std::map<QString, Decision> decisions;
    std::map<QString, movenet::TensorRanges> ranges;
};
Remembered& remembered() {
    static Remembered r;
    return r;
}

MoveNetEstimator::Precision precisionOf(const movenet::Engine& engine) {
    switch (engine.precision()) {
    case movenet::Precision::bf16:
        return MoveNetEstimator::Precision::bf16;
    case movenet::Precision::int8:
        return MoveNetEstimator::Precision::int8;
    case movenet::Precision::f32:
        break;
    }
    return MoveNetEstimator::Precision::fp32;
}

movenet::Precision enginePrecision(MoveNetEstimator::Precision precision) {
    switch (precision) {
    case MoveNetEstimator::Precision::bf16:
        return movenet::Precision::bf16;
    case MoveNetEstimator::Precision::int8:
        return movenet::Precision::int8;
    default:
        return movenet::Precision::f32;
    }
}

} // namespace

struct MoveNetEstimator::Private {
    std::unique_ptr<movenet::Network> network;
    std::unique_ptr<movenet::Engine> engine;
    QMutex mutex;
    // The graph's normalisation of each 8-bit value, per channel (R, G, B).
    std::array<std::array<float, 256>, 3> normalised{};
    movenet::SquareShrink shrink;
    cv::Mat resized; // reused between frames
    QString precisionReason;
    QString modelDir;

    // Fills the engine's input from the image; the square's side and the image's offset in it.
    std::array<int, 3> prepare(movenet::Engine& engine, const cv::Mat& image);
    Keypoints infer(movenet::Engine& engine, const cv::Mat& image);
    std::unique_ptr<movenet::Engine> build(int threads, Precision precision);
    const movenet::TensorRanges& ranges(int threads);
    void choosePrecision(int threads);
    QString tryPrecision(int threads, Precision precision);
};

MoveNetEstimator::MoveNetEstimator() : d(std::make_unique<Private>()) {}

MoveNetEstimator::~MoveNetEstimator() = default;

std::unique_ptr<MoveNetEstimator> MoveNetEstimator::load(const QString& modelDir, QString* error,
                                                         int threads, Precision precision) {
    try {
        checkPublishedFiles(modelDir);
    } catch (const std::exception& e) {
        qCWarning(lcPosture, "the pose model in %s is refused: %s", qUtf8Printable(modelDir),
                  e.what());
        if (error) {
            *error = loadErrorPrefix() + QString::fromLocal8Bit(e.what());
        }
        return nullptr;
    }
    qCInfo(lcPosture, "the pose model in %s matches the published SHA-256 sums",
           qUtf8Printable(modelDir));
    return loadUnchecked(modelDir, error, threads, precision);
}

std::unique_ptr<MoveNetEstimator> MoveNetEstimator::loadUnchecked(const QString& modelDir,
                                                                  QString* error, int threads,
                                                                  Precision precision) {
    try {
        auto network = std::make_unique<movenet::Network>(
            movenet::Network::fromGraph(movenet::Graph::load(modelDir, modelFileName)));
        // The heads compute the keypoints the posture rules read, and no others.
        network->keepOnly({postureKeypoints.begin(), postureKeypoints.end()});
        std::unique_ptr<MoveNetEstimator> estimator(new MoveNetEstimator);
        Private& d = *estimator->d;
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t u = 0; u < 256; ++u) {
                d.normalised[c][u] = normalise(u, c, network->normalisation());
            }
        }
        d.network = std::move(network);
        d.modelDir = QDir::cleanPath(QFileInfo(modelDir).absoluteFilePath());
        if (precision == Precision::automatic) {
            d.choosePrecision(threads);
        } else {
            d.engine = d.build(threads, precision);
            d.precisionReason = QStringLiteral("asked for");
        }
        d.network->releaseGraph(); // the engine holds its own copy of the weights now
        // One run on a blank image: an engine that cannot run fails here, at load, and the
        // first real frame does not pay for first-touch costs.
        const int size = d.network->inputSize();
        std::fill_n(d.engine->input(), std::size_t(size) * std::size_t(size) * 3, 0.0f);
        d.engine->run();
        qCInfo(lcPosture,
               "pose model loaded from %s: %d layers, %dx%d input, %d thread(s), %s (%s)",
               qUtf8Printable(modelDir), static_cast<int>(d.network->layers().size()), size, size,
               estimator->threads(), qUtf8Printable(precisionName(estimator->precision())),
               qUtf8Printable(d.precisionReason));
        return estimator;
    } catch (const std::exception& e) {
        qCWarning(lcPosture, "the pose model in %s could not be loaded: %s",
                  qUtf8Printable(modelDir), e.what());
        if (error) {
            *error = loadErrorPrefix() + QString::fromLocal8Bit(e.what());
        }
    }
    return nullptr;
}

QString MoveNetEstimator::defaultModelDirectory(const QString& chosen) {
    if (!chosen.isEmpty()) {
        return chosen;
    }
    const QString programDir = QCoreApplication::instance()
                                   ? QCoreApplication::applicationDirPath()
                                   : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    const QString installed = QDir::cleanPath(programDir + QLatin1Char('/') +
                                              QStringLiteral(QUORVEL_MODEL_DIR_FROM_BINDIR));
    if (QFileInfo::exists(QDir(installed).filePath(modelFileName))) {
        return installed;
    }
    // Never the build tree of the machine that built an installed program, only the one
    // this program runs from.
    const QString buildDir = QFileInfo(QStringLiteral(QUORVEL_BUILD_DIR)).canonicalFilePath();
    const QString program = QFileInfo(programDir).canonicalFilePath();
    if (!buildDir.isEmpty() &&
        (program == buildDir || program.startsWith(buildDir + QLatin1Char('/')))) {
        return QStringLiteral(QUORVEL_BUILD_MODEL_DIR);
    }
    return installed;
}

std::unique_ptr<movenet::Engine> MoveNetEstimator::Private::build(int threads,
                                                                  Precision precision) {
    const movenet::Precision p = enginePrecision(precision);
    return std::make_unique<movenet::Engine>(
        *network, threads, p, p == movenet::Precision::int8 ? &ranges(threads) : nullptr);
}

// The float32 range of every tensor on the check picture and its mirror image, measured once
// per process (a few float32 runs).
const movenet::TensorRanges& MoveNetEstimator::Private::ranges(int threads) {
    Remembered& r = remembered();
    {
        QMutexLocker lock(&r.mutex);
        const auto known = r.ranges.find(modelDir);
        if (known != r.ranges.end()) {
            return known->second;
        }
    }
    movenet::TensorRanges measured;
    movenet::Engine f32(*network, threads, movenet::Precision::f32);
    const cv::Mat picture = checkPicture(network->inputSize());
    cv::Mat mirrored;
    cv::flip(picture, mirrored, 1);
    for (const cv::Mat& image : {picture, mirrored}) {
        prepare(f32, image);
        f32.runMeasuring(measured);
    }
    QMutexLocker lock(&r.mutex);
    return r.ranges.try_emplace(modelDir, std::move(measured)).first->second;
}

// Builds `precision` and checks it; the engine stays when it holds the tolerance. Returns the
// reason either way.
QString MoveNetEstimator::Private::tryPrecision(int threads, Precision precision) {
    const QString name = precisionName(precision);
    try {
        auto candidate = build(threads, precision);
        const QStringList kernels = candidate->implementations();
        const auto slow = std::find_if(kernels.begin(), kernels.end(), [](const QString& k) {
            return k.startsWith(QLatin1String("ref"));
        });
        if (slow != kernels.end()) {
            return QStringLiteral("no fast %1 kernel for every layer (%2)").arg(name, *slow);
        }
        const Keypoints found = infer(*candidate, checkPicture(network->inputSize()));
        float worst = 0.0f;
        for (const auto& [k, y, x] : checkReference) {
            const Keypoint& p = found[static_cast<std::size_t>(k)];
            worst = std::max({worst, std::abs(p.y - y), std::abs(p.x - x)});
        }
        const QString figure = QString::number(static_cast<double>(worst), 'f', 5);
        if (!(worst <= lowPrecisionTolerance)) { // NaN fails too
            return QStringLiteral("%1 moved a keypoint by %2 on the check picture")
                .arg(name, figure);
        }
        engine = std::move(candidate);
        return QStringLiteral("%1 keypoints within %2 of float32").arg(name, figure);
    } catch (const std::exception& e) { // an engine that cannot be built or run
        return QStringLiteral("%1 failed: %2").arg(name, QString::fromLocal8Bit(e.what()));
    }
}

void MoveNetEstimator::Private::choosePrecision(int threads) {
    const QString key = modelDir + QLatin1Char('#') + QString::number(threads);
    Remembered& r = remembered();
    std::optional<Decision> known;
    {
        QMutexLocker lock(&r.mutex);
        if (const auto found = r.decisions.find(key); found != r.decisions.end()) {
            known = found->second;
        }
    }
    if (known) {
        engine = build(threads, known->precision);
        precisionReason = known->reason + QStringLiteral(" (at this process's first load)");
        return;
    }
    // int8 is never tried unasked: on the project's pictures it moves keypoints by 0.007 to
    // 0.03 and turns a verdict, far outside the tolerance on any CPU, while the trial would
    // cost a tenth of a second and keep about 6 MB of oneDNN's int8 code resident.
    const QString isa = movenet::Engine::cpuIsaName();
    QStringList reasons{QStringLiteral("int8 only when asked for")};
    reasons << (movenet::Engine::hasNativeBf16() ? tryPrecision(threads, Precision::bf16)
                                                 : QStringLiteral("no bf16 dot products"));
    const Precision chosen = engine ? precisionOf(*engine) : Precision::fp32;
    if (!engine) {
        engine = build(threads, Precision::fp32);
    }
    precisionReason = isa + QStringLiteral(": ") + reasons.join(QStringLiteral("; "));
    QMutexLocker lock(&r.mutex);
    r.decisions.try_emplace(key, Decision{chosen, precisionReason});
}

MoveNetEstimator::Keypoints MoveNetEstimator::keypoints(const cv::Mat& image) {
    QMutexLocker lock(&d->mutex);
    return d->infer(*d->engine, image);
}

std::array<int, 3> MoveNetEstimator::Private::prepare(movenet::Engine& on, const cv::Mat& image) {
    if (image.empty() || image.depth() != CV_8U ||
        (image.channels() != 1 && image.channels() != 3 && image.channels() != 4)) {
        throw std::invalid_argument("the image is empty or not an 8-bit colour image");
    }
    cv::Mat bgr = image;
    if (image.channels() != 3) {
        cv::cvtColor(image, bgr, image.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    }

    // A centred square with black borders, shrunk to the network's input with area
    // averaging; a frame smaller than the input (no camera Quorvel asks gives one) is
    // bordered and enlarged by OpenCV.
    const int size = network->inputSize();
    const int side = std::max(bgr.cols, bgr.rows);
    const int left = (side - bgr.cols) / 2;
    const int top = (side - bgr.rows) / 2;
    if (side >= size) {
        shrink(bgr, size, resized);
    } else {
        cv::Mat square(side, side, CV_8UC3, cv::Scalar::all(0));
        bgr.copyTo(square(cv::Rect(left, top, bgr.cols, bgr.rows)));
        cv::resize(square, resized, cv::Size(size, size), 0, 0, cv::INTER_AREA);
    }

    // RGB floats, normalised.
    float* input = on.input();
    const auto& [r, g, b] = normalised;
    for (int y = 0; y < size; ++y) {
        const uchar* row = resized.ptr<uchar>(y);
        for (int x = 0; x < size; ++x, row += 3, input += 3) {
            input[0] = r[row[2]];
            input[1] = g[row[1]];
            input[2] = b[row[0]];
        }
    }
    return {side, left, top};
}

MoveNetEstimator::Keypoints MoveNetEstimator::Private::infer(movenet::Engine& on,
                                                             const cv::Mat& image) {
    const auto [side, left, top] = prepare(on, image);
    const int rows = image.rows, cols = image.cols;
    on.run();
    const movenet::Network& net = *network;
    const std::vector<movenet::Keypoint> found =
        net.decode(on.tensor(net.heatmapTensor()), on.tensor(net.centerTensor()),
                   on.tensor(net.regressTensor()), on.tensor(net.offsetTensor()));

    // Back from the square to the frame.
    Keypoints result;
    const float s = static_cast<float>(side);
    for (std::size_t k = 0; k < result.size(); ++k) {
        result[k].y = (found[k].y * s - static_cast<float>(top)) / static_cast<float>(rows);
        result[k].x = (found[k].x * s - static_cast<float>(left)) / static_cast<float>(cols);
        result[k].score = found[k].score;
    }
    return result;
}

PoseResult MoveNetEstimator::estimate(const cv::Mat& bgr) {
    PoseResult result;
    try {
        result.observations.push_back(observationFromKeypoints(keypoints(bgr)));
    } catch (const std::exception& e) {
        result.failed = true;
        result.error = QString::fromLocal8Bit(e.what());
    }
    return result;
}

PoseObservation MoveNetEstimator::observationFromKeypoints(const Keypoints& keypoints) {
    const auto point = [&](int index) -> std::optional<JointPoint> {
        const Keypoint& k = keypoints[static_cast<std::size_t>(index)];
        // Inside the frame, edges included; NaN fails both tests.
        if (!(k.x >= 0.0f && k.x <= 1.0f && k.y >= 0.0f && k.y <= 1.0f)) {
            return std::nullopt;
        }
        return JointPoint{static_cast<double>(k.x), 1.0 - static_cast<double>(k.y), k.score};
    };
    PoseObservation o;
    const auto set = [&](PoseJointName joint, std::optional<JointPoint> p) {
        o.points[static_cast<std::size_t>(joint)] = p;
    };
    set(PoseJointName::nose, point(0));
    set(PoseJointName::leftEar, point(3));
    set(PoseJointName::rightEar, point(4));
    const std::optional<JointPoint> left = point(5);
    const std::optional<JointPoint> right = point(6);
    set(PoseJointName::leftShoulder, left);
    set(PoseJointName::rightShoulder, right);
    if (left && right) {
        set(PoseJointName::neck, JointPoint{(left->x + right->x) / 2.0, (left->y + right->y) / 2.0,
                                            std::min(left->confidence, right->confidence)});
    }
    return o;
}

QStringList MoveNetEstimator::implementations() const {
    return d->engine->implementations();
}

std::size_t MoveNetEstimator::workspaceBytes() const {
    return d->engine->workspaceBytes();
}

int MoveNetEstimator::threads() const {
    return d->engine->threads();
}

MoveNetEstimator::Precision MoveNetEstimator::precision() const {
    return precisionOf(*d->engine);
}

QString MoveNetEstimator::precisionName(Precision precision) {
    switch (precision) {
    case Precision::automatic:
        return QStringLiteral("auto");
    case Precision::fp32:
        return QStringLiteral("fp32");
    case Precision::bf16:
        return QStringLiteral("bf16");
    case Precision::int8:
        return QStringLiteral("int8");
    }
    return {};
}

QString MoveNetEstimator::precisionReason() const {
    return d->precisionReason;
}

} // namespace quorvel
