#include "camera/DeviceUse.h"

#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <unistd.h>

using namespace quorvel;

// The watch on a node tells another program's opens and closes from Quorvel's own, also where
// the kernel would merge two alike closes into one event.
class TestDeviceUse : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void anotherProgramsCloseIsSeenBesideOurs_data() {
        QTest::addColumn<bool>("othersFirst");
        QTest::newRow("the other program closes first") << true;
        QTest::newRow("Quorvel closes first") << false;
    }

    void anotherProgramsCloseIsSeenBesideOurs() {
        QFETCH(bool, othersFirst);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("video0"));
        ::close(::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY, 0600));
        DeviceUseWatch watch(path);
        QVERIFY(watch.isValid());
        const QByteArray node = QFile::encodeName(path);

        OwnDeviceUse::willOpen(path);
        const int ours = ::open(node.constData(), O_RDONLY);
        OwnDeviceUse::done(path);
        const int theirs = ::open(node.constData(), O_RDONLY); // not announced: another program
        DeviceUseWatch::Seen seen = watch.read();
        QCOMPARE(seen.opens, 1);
        QCOMPARE(seen.closes, 0);

        const auto closeOurs = [&] {
            OwnDeviceUse::willClose(path);
            ::close(ours);
            OwnDeviceUse::done(path);
        };
        if (othersFirst) {
            ::close(theirs);
            closeOurs();
        } else {
            closeOurs();
            ::close(theirs);
        }
        seen = watch.read();
        QCOMPARE(seen.opens, 0);
        QCOMPARE(seen.closes, 1);
        QVERIFY(!seen.gone);
    }
};

QTEST_GUILESS_MAIN(TestDeviceUse)
#include "tst_device_use.moc"
