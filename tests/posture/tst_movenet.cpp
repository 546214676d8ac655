#include "posture/PostureAnalyzer.h"
#include "posture/PostureDetector.h"
#include "posture/movenet/MoveNetEngine.h"
#include "posture/movenet/MoveNetEstimator.h"
#include "settings/SettingsManager.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <functional>
#include <set>

using namespace quorvel;
using namespace quorvel::test;

namespace {

using Keypoints = MoveNetEstimator::Keypoints;

// MoveNet Lightning on the astronaut portrait: (index, y, x, score), y and x from the
// top-left.
struct Reference {
    int index;
    float y, x, score;
};
const Reference astronautReference[] = {
    {0, 0.235514f, 0.432487f, 0.566722f}, // nose
    {3, 0.223899f, 0.538827f, 0.466783f}, // left ear
    {4, 0.216761f, 0.342959f, 0.741076f}, // right ear
    {5, 0.533769f, 0.624416f, 0.742184f}, // left shoulder
    {6, 0.500800f, 0.210637f, 0.624648f}, // right shoulder
};

cv::Mat astronaut() {
    cv::Mat image = cv::imread(testDataPath("astronaut.png").toStdString(), cv::IMREAD_COLOR);
    if (image.empty()) {
        qFatal("tests/data/astronaut.png is missing");
    }
    return image;
}

bool near(double a, double b, double tolerance) {
    return std::abs(a - b) <= tolerance;
}

// A copy of the model in `dir`, with `edit` applied to the parsed graph description.
void copyModel(const QString& dir, const std::function<void(QJsonObject&)>& edit = {}) {
    const QString from = MoveNetEstimator::defaultModelDirectory();
    if (edit) {
        QJsonObject model =
            QJsonDocument::fromJson(readFile(from + "/movenet-lightning.json")).object();
        edit(model);
        writeFile(dir + "/movenet-lightning.json",
                  QJsonDocument(model).toJson(QJsonDocument::Compact));
    } else {
        QFile::copy(from + "/movenet-lightning.json", dir + "/movenet-lightning.json");
    }
    QFile::copy(from + "/movenet-lightning.bin", dir + "/movenet-lightning.bin");
}

// Replaces the op of the node whose name ends in `suffix`.
void setOp(QJsonObject& model, const QString& suffix, const QString& op) {
    QJsonObject topology = model["modelTopology"].toObject();
    QJsonArray nodes = topology["node"].toArray();
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        QJsonObject n = nodes[i].toObject();
        if (n["name"].toString().endsWith(suffix)) {
            n["op"] = op;
            nodes[i] = n;
        }
    }
    topology["node"] = nodes;
    model["modelTopology"] = topology;
}

// Every picture the project plays to the model: the portrait, as the benchmarks' and the
// package test's camera shows it (320x240 Motion-JPEG), cropped wide, leaning into the
// camera, in a dim room, and the desktop suite's grey recording.
std::vector<std::pair<const char*, cv::Mat>> projectPictures() {
    const cv::Mat portrait = astronaut();
    const auto jpeg = [](const cv::Mat& image) {
        std::vector<uchar> bytes;
        cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
        return cv::imdecode(bytes, cv::IMREAD_COLOR);
    };
    cv::Mat camera(240, 320, CV_8UC3, cv::Scalar::all(0));
    cv::resize(portrait, camera.colRange(40, 280), cv::Size(240, 240), 0, 0, cv::INTER_AREA);
    cv::Mat leaning; // closer and lower, as a slouch looks to a webcam
    const cv::Mat closer = (cv::Mat_<double>(2, 3) << 1.25, 0, -64, 0, 1.25, 40);
    cv::warpAffine(portrait, leaning, closer, portrait.size());
    cv::Mat dim;
    portrait.convertTo(dim, -1, 0.35, 0);
    return {{"portrait", portrait},
            {"camera", jpeg(camera)},
            {"wide", portrait.rowRange(64, 448).clone()},
            {"leaning", leaning},
            {"leaning camera", jpeg(leaning(cv::Rect(0, 96, 512, 384)))},
            {"dim", dim},
            {"grey", jpeg(cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(128)))}};
}

} // namespace

class TestMoveNet : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<MoveNetEstimator> m_estimator;

private Q_SLOTS:
    void initTestCase() {
        QString error;
        m_estimator = MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(), &error, 1,
                                             MoveNetEstimator::Precision::fp32);
        QVERIFY2(m_estimator, qPrintable(error));
    }

    // bf16, where the CPU has it, runs the same network (every kernel a fast one, keypoints
    // near float32's on every picture). Where the app chooses it, every keypoint the posture
    // rules read stays within the tolerance and every verdict is the same; where it does not,
    // the pictures confirm the refusal.
    void lowerPrecisionKeepsKeypointsAndVerdicts() {
        if (!movenet::Engine::hasNativeBf16()) {
            QSKIP(qPrintable("no bf16 dot products on this CPU (" + movenet::Engine::cpuIsaName() +
                             "): the model runs in float32"));
        }
        QString error;
        const QString modelDir = MoveNetEstimator::defaultModelDirectory();
        const auto chosen = MoveNetEstimator::load(modelDir, &error);
        QVERIFY2(chosen, qPrintable(error));
        const auto bf16 =
            MoveNetEstimator::load(modelDir, &error, 1, MoveNetEstimator::Precision::bf16);
        QVERIFY2(bf16, qPrintable(error));
        for (const QString& kernel : bf16->implementations()) {
            QVERIFY2(!kernel.startsWith("ref"), qPrintable(kernel));
        }
        const bool bf16Chosen = chosen->precision() == MoveNetEstimator::Precision::bf16;

        TempFolder dir;
        SettingsManager settings32(dir.path("fp32.conf")), settings16(dir.path("bf16.conf"));
        PostureAnalyzer analyzer32(settings32), analyzer16(settings16);
        const auto calibrate = [](PostureAnalyzer& analyzer, MoveNetEstimator& estimator) {
            const auto upright = PostureDetector::usableJoints(estimator.estimate(astronaut()));
            QVERIFY(upright);
            analyzer.startCalibration();
            for (int i = 0; i < PostureAnalyzer::calibrationFrameCount; ++i) {
                analyzer.addCalibrationFrame(*upright);
            }
        };
        calibrate(analyzer32, *m_estimator);
        calibrate(analyzer16, *bf16);
        const auto verdict = [](PostureAnalyzer& analyzer, MoveNetEstimator& estimator,
                                const cv::Mat& image) {
            const auto joints = PostureDetector::usableJoints(estimator.estimate(image));
            return joints ? analyzer.analyze(*joints) : PostureStatus::noPersonDetected;
        };

        std::set<PostureStatus> verdicts;
        float worst = 0.0f;
        for (const auto& [name, image] : projectPictures()) {
            const Keypoints exact = m_estimator->keypoints(image);
            const Keypoints low = bf16->keypoints(image);
            for (int k : MoveNetEstimator::postureKeypoints) {
                const auto& a = exact[static_cast<std::size_t>(k)];
                const auto& b = low[static_cast<std::size_t>(k)];
                if (a.score <= 0.3f && b.score <= 0.3f) {
                    continue; // too faint for the rules to read, in both
                }
                const float moved = std::max(std::abs(a.x - b.x), std::abs(a.y - b.y));
                worst = std::max(worst, moved);
                // Not chosen, bf16 may still move a faint point to a neighbouring cell on
                // some pictures; on the portrait a wrong layout or a lost residual would show.
                const float bound = bf16Chosen ? MoveNetEstimator::bf16Tolerance
                                    : std::string(name) == "portrait" ? 0.01f
                                                                      : 1.0f;
                QVERIFY2(moved <= bound, qPrintable(QStringLiteral("%1, keypoint %2: moved by %3")
                                                        .arg(name)
                                                        .arg(k)
                                                        .arg(double(moved))));
            }
            const PostureStatus expected = verdict(analyzer32, *m_estimator, image);
            if (bf16Chosen) {
                QCOMPARE(verdict(analyzer16, *bf16, image), expected);
            }
            verdicts.insert(expected);
        }
        qInfo("bf16: largest difference of a keypoint the rules read: %.5f", double(worst));
        // The pictures cover more than one verdict, so a changed one would show.
        QVERIFY(verdicts.count(PostureStatus::good) == 1);
        QVERIFY(verdicts.size() >= 3);
        if (!bf16Chosen) {
            // Refused on the check picture, which is the portrait as the model sees it.
            QVERIFY(worst > MoveNetEstimator::bf16Tolerance);
            // Refused by the measurement, not for want of the built-in picture.
            QVERIFY2(chosen->precisionReason().contains(QLatin1String("moved a keypoint")),
                     qPrintable(chosen->precisionReason()));
            QSKIP(qPrintable("bf16 is not chosen on this CPU (" + chosen->precisionReason() +
                             "): the app runs float32, nothing more to compare"));
        }
    }

    void astronautMatchesReference() {
        const Keypoints k = m_estimator->keypoints(astronaut());
        for (const Reference& r : astronautReference) {
            const auto& p = k[static_cast<std::size_t>(r.index)];
            QVERIFY2(near(p.y, r.y, 1e-4) && near(p.x, r.x, 1e-4) && near(p.score, r.score, 1e-4),
                     qPrintable(QStringLiteral("keypoint %1").arg(r.index)));
        }
    }

    // A frame that is not square is padded to a centred black square; the keypoints come
    // back in the frame's own coordinates.
    void nonSquareFramesMapBack() {
        cv::Mat square = astronaut();
        square.rowRange(0, 64).setTo(cv::Scalar::all(0));
        square.rowRange(448, 512).setTo(cv::Scalar::all(0));
        const Keypoints inSquare = m_estimator->keypoints(square);
        const Keypoints wide = m_estimator->keypoints(square.rowRange(64, 448).clone());

        for (std::size_t i = 0; i < inSquare.size(); ++i) {
            QVERIFY(near(wide[i].y, (inSquare[i].y * 512 - 64) / 384, 1e-5));
            QVERIFY(near(wide[i].x, inSquare[i].x, 1e-5));
            QVERIFY(near(wide[i].score, inSquare[i].score, 1e-6));
        }
    }

    void unusableImagesFailTheRequest() {
        for (const cv::Mat& image : {cv::Mat(), cv::Mat(40, 30, CV_16UC3, cv::Scalar::all(0))}) {
            const PoseResult result = m_estimator->estimate(image);
            QVERIFY(result.failed);
            QVERIFY(!result.error.isEmpty());
            QVERIFY(result.observations.empty());
        }
    }

    void brokenModelsAreRefused_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing") << "missing"
                                 << "/movenet-lightning.json is missing";
        // Still finite numbers, so only the checksum tells.
        QTest::newRow("damaged weights") << "damaged bin"
                                         << "/movenet-lightning.bin is damaged";
        // The rest as the reader meets them, past the checksum.
        QTest::newRow("unsupported layer") << "layer"
                                           << "not supported";
        QTest::newRow("unsafe weights path") << "path"
                                             << "unsafe weights file";
    }

    void brokenModelsAreRefused() {
        QFETCH(QString, damage);
        QFETCH(QString, expected);
        TempFolder dir;
        if (damage == "damaged bin") {
            copyModel(dir.path());
            QFile f(dir.path("movenet-lightning.bin"));
            QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(f.size() / 2));
            const char low = f.peek(1).at(0);
            f.putChar(static_cast<char>(low ^ 1));
        } else if (damage == "layer") {
            copyModel(dir.path(), [](QJsonObject& m) { setOp(m, "block_4_add/add", "Sub"); });
        } else if (damage == "path") {
            copyModel(dir.path(), [](QJsonObject& m) {
                QJsonArray manifest = m["weightsManifest"].toArray();
                QJsonObject group = manifest[0].toObject();
                group["paths"] = QJsonArray{"../movenet-lightning.bin"};
                manifest[0] = group;
                m["weightsManifest"] = manifest;
            });
        }
        QString error;
        if (damage == "missing" || damage == "damaged bin") {
            // Found in the folder the developer chose, as the app would.
            const auto estimator =
                MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(dir.path()), &error);
            QVERIFY(!estimator);
            expected.prepend(dir.path());
        } else {
            QVERIFY(!MoveNetEstimator::loadUnchecked(dir.path(), &error));
        }
        QVERIFY2(error.startsWith("Pose model could not be loaded: "), qPrintable(error));
        QVERIFY2(error.contains(expected), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestMoveNet)
#include "tst_movenet.moc"
