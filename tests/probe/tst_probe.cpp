#include "support/TestSupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>

using namespace quorvel::test;

namespace {

struct Run {
    int exitCode = -1;
    QList<QJsonObject> lines; // stdout, one JSON object per line
    QByteArray out;
    QByteArray err;
};

Run probe(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(QUORVEL_PROBE), args);
    p.waitForFinished(120000);
    Run r{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
          {},
          p.readAllStandardOutput(),
          p.readAllStandardError()};
    for (const QByteArray& line : r.out.split('\n')) {
        if (!line.isEmpty()) {
            r.lines.append(QJsonDocument::fromJson(line).object());
        }
    }
    return r;
}

// Lines of our own on stderr (the PNG decoder may add warnings of its own).
QList<QByteArray> ownMessages(const QByteArray& err) {
    QList<QByteArray> result;
    for (const QByteArray& line : err.split('\n')) {
        if (!line.isEmpty() && !line.startsWith("libpng")) {
            result.append(line);
        }
    }
    return result;
}

cv::Mat astronaut() {
    return cv::imread(testDataPath("astronaut.png").toStdString());
}

// The portrait shrunk to 85 % about its bottom centre and moved down 8 % of its height.
cv::Mat slouched() {
    const cv::Mat a = astronaut();
    const double w = a.cols, h = a.rows, s = 0.85;
    const cv::Mat m =
        (cv::Mat_<double>(2, 3) << s, 0, (1 - s) * w / 2, 0, s, (1 - s) * h + 0.08 * h);
    cv::Mat out;
    cv::warpAffine(a, out, m, a.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return out;
}

} // namespace

class TestProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void jointsOfImagesAndVideos() {
        TempFolder dir;
        const QString video = dir.path("clip.avi");
        {
            cv::VideoWriter writer(video.toStdString(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                                   5, cv::Size(512, 512));
            QVERIFY(writer.isOpened());
            writer.write(astronaut());
            writer.write(cv::Mat(512, 512, CV_8UC3, cv::Scalar::all(0)));
        }
        const Run r = probe({"joints", testDataPath("astronaut.png"), video});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 3);
        QCOMPARE(r.lines[0]["source"].toString(), testDataPath("astronaut.png"));
        QCOMPARE(r.lines[0]["frame"].toInt(-1), 0);
        QVERIFY(r.lines[0]["ms"].toDouble() > 0);
        const QJsonObject joints = r.lines[0]["joints"].toObject();
        QCOMPARE(joints.keys(), QStringList({"leftEar", "leftShoulder", "neck", "nose", "rightEar",
                                             "rightShoulder"}));
        const QJsonArray nose = joints["nose"].toArray(); // x, y (upward), confidence
        const double expected[] = {0.432487, 1 - 0.235514, 0.566722};
        for (int i = 0; i < 3; ++i) {
            QVERIFY(qAbs(nose[i].toDouble() - expected[i]) < 1e-4);
        }
        QCOMPARE(r.lines[2]["source"].toString(), video);
        QCOMPARE(r.lines[2]["frame"].toInt(-1), 1);
    }

    void postureAgainstABaseline() {
        TempFolder dir;
        cv::imwrite(dir.path("slouched.png").toStdString(), slouched());
        cv::imwrite(dir.path("empty.png").toStdString(),
                    cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(0)));
        const Run r = probe({"posture", "--baseline", testDataPath("astronaut.png"),
                             "--sensitivity", "Medium", testDataPath("astronaut.png"),
                             dir.path("slouched.png"), dir.path("empty.png")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 3);
        QCOMPARE(r.lines[0]["status"].toString(), QString("Good"));
        const double width = std::hypot(0.624416 - 0.210637, 0.533769 - 0.500800);
        QVERIFY(qAbs(r.lines[0]["shoulderWidth"].toDouble() - width) < 1e-4);
        QVERIFY(r.lines[0]["shoulderY"].toDouble() > 0.4);
        QCOMPARE(r.lines[1]["status"].toString(), QString("Slouching"));
        QCOMPARE(r.lines[2]["status"].toString(), QString("No person detected"));
    }

    void benchPrintsOneLine() {
        const Run r =
            probe({"bench", "--runs", "3", "--threads", "1", testDataPath("astronaut.png")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 1);
        QCOMPARE(r.lines[0].keys(), QStringList({"load_ms", "median_ms", "p90_ms", "peak_rss_mb"}));
        QVERIFY(r.lines[0]["median_ms"].toDouble() > 0);
        QVERIFY(r.lines[0]["p90_ms"].toDouble() >= r.lines[0]["median_ms"].toDouble());
    }

    void badInputGivesOneLineAndFailure() {
        TempFolder dir;
        writeFile(dir.path("notes.txt"), "not a picture");
        const struct {
            QStringList args;
            int exitCode;
            QByteArray message;
        } cases[] = {
            {{"joints", dir.path("notes.txt")}, 1, "cannot read"},
            {{"joints", dir.path("missing.png")}, 1, "cannot read"},
            {{"posture", "--baseline", dir.path("missing.png"), testDataPath("astronaut.png")},
             1,
             "cannot read"},
            {{"bench", "--runs", "0", testDataPath("astronaut.png")}, 2, "usage"},
            {{"frobnicate"}, 2, "usage"},
            {{"camera", "--frames", "0"}, 2, "usage"},
        };
        for (const auto& c : cases) {
            const Run r = probe(c.args);
            QCOMPARE(r.exitCode, c.exitCode);
            QVERIFY(r.out.isEmpty());
            const QList<QByteArray> messages = ownMessages(r.err);
            QVERIFY(!messages.isEmpty());
            QVERIFY2(messages[0].contains(c.message), messages[0].constData());
            if (c.exitCode == 1) {
                QCOMPARE(messages.size(), 1);
            }
        }
    }

    void cameraWithoutACamera() {
        if (!QDir("/dev").entryList({"video*"}, QDir::System).isEmpty()) {
            QSKIP("this machine has video devices");
        }
        const Run r = probe({"camera"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(ownMessages(r.err), QList<QByteArray>{"quorvel-probe: No camera found"});
    }
};

QTEST_GUILESS_MAIN(TestProbe)
#include "tst_probe.moc"
