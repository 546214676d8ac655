#include "support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

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

} // namespace

class TestProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
