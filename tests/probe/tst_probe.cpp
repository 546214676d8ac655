#include "support/ScriptedPoses.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

using namespace quorvel::test;

namespace {

struct Run {
    int exitCode = -1;
    QList<QJsonObject> lines;   // stdout, one JSON object per line
    QList<QByteArray> messages; // our own lines on stderr (not the PNG decoder's warnings)
};

Run probe(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(QUORVEL_PROBE), args);
    p.waitForFinished(120000);
    Run r{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, {}, {}};
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty()) {
            r.lines.append(QJsonDocument::fromJson(line).object());
        }
    }
    for (const QByteArray& line : p.readAllStandardError().split('\n')) {
        if (!line.isEmpty() && !line.startsWith("libpng")) {
            r.messages.append(line);
        }
    }
    return r;
}

cv::Mat astronaut() {
    return cv::imread(testDataPath("astronaut.png").toStdString());
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
        QCOMPARE(
            r.lines[0]["joints"].toObject().keys(),
            QStringList({"leftEar", "leftShoulder", "neck", "nose", "rightEar", "rightShoulder"}));
        QCOMPARE(r.lines[2]["source"].toString(), video);
        QCOMPARE(r.lines[2]["frame"].toInt(-1), 1);
    }

    void postureAgainstABaseline() {
        TempFolder dir;
        cv::imwrite(dir.path("slouched.png").toStdString(), uprightAndSlouchedPhoto().second);
        cv::imwrite(dir.path("empty.png").toStdString(),
                    cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(0)));
        const Run r = probe({"posture", "--baseline", testDataPath("astronaut.png"),
                             "--sensitivity", "Medium", testDataPath("astronaut.png"),
                             dir.path("slouched.png"), dir.path("empty.png")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines.size(), 3);
        QCOMPARE(r.lines[0]["status"].toString(), QString("Good"));
        QCOMPARE(r.lines[1]["status"].toString(), QString("Slouching"));
        QCOMPARE(r.lines[2]["status"].toString(), QString("No person detected"));
    }

    void badInputGivesOneLineAndFailure() {
        TempFolder dir;
        writeFile(dir.path("notes.txt"), "not a picture");
        struct Case {
            QStringList args;
            int exitCode;
            QByteArray message;
        };
        QList<Case> cases = {
            {{"joints", dir.path("notes.txt")}, 1, "cannot read"},
            {{"posture", "--baseline", dir.path("missing.png"), testDataPath("astronaut.png")},
             1,
             "cannot read"},
            {{"bench", "--runs", "0", testDataPath("astronaut.png")}, 2, "usage"},
            {{"frobnicate"}, 2, "usage"},
        };
        if (QDir("/dev").entryList({"video*"}, QDir::System).isEmpty()) {
            cases.append({{"camera"}, 1, "quorvel-probe: No camera found"});
        }
        for (const auto& c : cases) {
            const Run r = probe(c.args);
            QCOMPARE(r.exitCode, c.exitCode);
            QVERIFY(r.lines.isEmpty());
            QVERIFY2(r.messages.value(0).contains(c.message), r.messages.value(0).constData());
            QVERIFY(c.exitCode == 2 || r.messages.size() == 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestProbe)
#include "tst_probe.moc"
