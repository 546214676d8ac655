#include "posture/movenet/MoveNetEstimator.h"
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

} // namespace

class TestMoveNet : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<MoveNetEstimator> m_estimator;

private Q_SLOTS:
    void initTestCase() {
        QString error;
        m_estimator = MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(), &error);
        QVERIFY2(m_estimator, qPrintable(error));
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
            // Found where the developer's variable points, as the app would.
            qputenv("QUORVEL_MODEL_DIR", dir.path().toLocal8Bit());
            const auto estimator =
                MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(), &error);
            qunsetenv("QUORVEL_MODEL_DIR");
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
