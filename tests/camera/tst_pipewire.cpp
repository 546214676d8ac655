// The camera read through PipeWire: a private daemon and session manager, and a camera node
// published by quorvel-camera-node from a picture, as WirePlumber's monitors publish cameras.
#include "camera/CameraFrameDelegate.h"
#include "camera/CameraManager.h"
#include "camera/CameraPermission.h"
#include "camera/CameraPortal.h"
#include "camera/DeviceUse.h"
#include "camera/V4L2FrameSource.h"
#include "camera/pipewire/PipeWireFrameSource.h"

#include "support/PipeWireSession.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace quorvel;
using namespace quorvel::test;

namespace {

const QString picture = QStringLiteral(QUORVEL_TEST_DATA_DIR "/astronaut.png");

// The frames passed on, and when.
class CountingDelegate : public CameraFrameDelegate {
public:
    void cameraManager(CameraManager&, const cv::Mat& frame) override {
        std::lock_guard lock(mutex);
        ++frames;
        size = frame.size();
    }
    int count() {
        std::lock_guard lock(mutex);
        return frames;
    }
    std::mutex mutex;
    int frames = 0;
    cv::Size size;
};

// Grabs from `source` until `frames` frames came or `seconds` passed; the frames got.
int grabFrames(FrameSource& source, int frames, double seconds, cv::Mat* last = nullptr) {
    QElapsedTimer timer;
    timer.start();
    int got = 0;
    while (got < frames && timer.elapsed() < seconds * 1000) {
        const GrabResult r = source.grab();
        if (r == GrabResult::failed) {
            break;
        }
        if (r == GrabResult::frame) {
            ++got;
            if (last != nullptr) {
                source.retrieve(*last);
            }
        }
    }
    return got;
}

} // namespace

class TestPipeWire : public QObject {
    Q_OBJECT

private slots:
    void init() {
        if (QByteArray(QTest::currentTestFunction()) == "choosesTheMachinesOwnCamera") {
            return;
        }
        m_session = std::make_unique<PipeWireSession>();
        QString error;
        if (!m_session->start(&error)) {
            QFAIL(qPrintable(QStringLiteral("set-up: %1\n%2").arg(error, m_session->log())));
        }
        m_session->applyToThisProcess();
    }
    void cleanup() { m_session.reset(); }

    // Which camera is watched: what the system says of the device behind each node, the
    // machine's own camera first; a node's name counts only where nothing else tells.
    void choosesTheMachinesOwnCamera() {
        const auto camera = [](quint32 id, QString description, QString v4l2 = {},
                               QString location = {}) {
            PipeWireCamera c;
            c.id = id;
            c.description = std::move(description);
            c.v4l2Path = std::move(v4l2);
            c.libcameraLocation = std::move(location);
            return c;
        };
        CameraDevice usb;
        usb.path = QStringLiteral("/dev/video0");
        usb.name = QStringLiteral("Integrated Camera"); // the name says built in; sysfs says not
        usb.capabilitiesKnown = usb.canCapture = true;
        usb.attachment = CameraDevice::Attachment::removable;
        CameraDevice own = usb;
        own.path = QStringLiteral("/dev/video2");
        own.name = QStringLiteral("USB2.0 HD UVC WebCam");
        own.attachment = CameraDevice::Attachment::builtIn;
        const std::vector<CameraDevice> devices{usb, own};

        QCOMPARE(choosePipeWireCamera({camera(1, "Integrated Camera", "/dev/video0"),
                                       camera(2, "USB2.0 HD UVC WebCam", "/dev/video2")},
                                      devices)
                     ->id,
                 2u);
        QCOMPARE(
            choosePipeWireCamera(
                {camera(3, "Logitech", {}, "external"), camera(4, "ov5675", {}, "front")}, devices)
                ->id,
            4u);
        // A node whose device nothing tells of is judged by its name, after those that are told.
        QCOMPARE(
            choosePipeWireCamera({camera(5, "Webcam C270"), camera(6, "Integrated Camera")}, {})
                ->id,
            6u);
        QVERIFY(!choosePipeWireCamera({}, devices));
        // A laptop camera that libcamera drives: the raw sensor's node, which PipeWire's V4L2
        // monitor publishes too, gives no picture; libcamera's node of it goes first.
        CameraDevice sensor = own;
        sensor.path = QStringLiteral("/dev/video4");
        sensor.needsLibcamera = true;
        QCOMPARE(choosePipeWireCamera({camera(7, "ipu6", "/dev/video4"),
                                       camera(8, "Built-in Front Camera", {}, "front")},
                                      {sensor})
                     ->id,
                 8u);
    }

    // Monitoring through PipeWire in the formats cameras send: the picture comes whole, a
    // large one at about the size analysed.
    void readsTheCameraInItsFormat_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("size");
        QTest::addColumn<QSize>("analysed");
        QTest::newRow("Motion-JPEG") << "mjpg"
                                     << "320x240" << QSize(320, 240);
        QTest::newRow("YUYV, large") << "yuyv"
                                     << "1280x720" << QSize(320, 180);
    }
    void readsTheCameraInItsFormat() {
        QFETCH(QString, format);
        QFETCH(QString, size);
        QFETCH(QSize, analysed);
        QString error;
        QVERIFY2(m_session->startCamera({"--picture", picture, "--format", format, "--size", size},
                                        &error),
                 qPrintable(error));
        PipeWireFrameSource source;
        QCOMPARE(source.open(), OpenStatus::opened);
        cv::Mat image;
        QCOMPARE(grabFrames(source, 5, 10, &image), 5);
        QCOMPARE(QSize(image.cols, image.rows), analysed);
        QCOMPARE(image.type(), CV_8UC3);
        // The astronaut, not a grey or green frame: compared with the picture at that size.
        cv::Mat expected = cv::imread(picture.toStdString());
        cv::resize(expected, expected, image.size(), 0, 0, cv::INTER_AREA);
        QVERIFY2(cv::norm(image, expected, cv::NORM_L1) / double(image.total() * 3) < 12,
                 qPrintable(source.formatDescription()));
    }

    // A laptop camera only libcamera drives is read through PipeWire where its libcamera
    // monitor serves the camera; where PipeWire offers only the raw sensor's node, the camera
    // is left to the V4L2 path, whose opening says what to install.
    void readsALibcameraCameraThroughPipeWire() {
        CameraDevice sensor;
        sensor.path = QStringLiteral("/dev/video-quorvel-test-sensor");
        sensor.name = QStringLiteral("ipu6");
        sensor.capabilitiesKnown = sensor.canCapture = sensor.needsLibcamera = true;
        sensor.attachment = CameraDevice::Attachment::builtIn;
        QString error;
        QVERIFY2(m_session->startCamera(
                     {"--picture", picture, "--v4l2", sensor.path, "--description", sensor.name},
                     &error),
                 qPrintable(error));
        QVERIFY(dynamic_cast<V4L2FrameSource*>(CameraManager::cameraSource({sensor}).get()));

        QVERIFY2(m_session->startCamera({"--picture", picture, "--libcamera", "front",
                                         "--description", "Built-in Front Camera"},
                                        &error),
                 qPrintable(error));
        const auto source = CameraManager::cameraSource({sensor});
        auto* pipewire = dynamic_cast<PipeWireFrameSource*>(source.get());
        QVERIFY(pipewire != nullptr);
        QCOMPARE(source->open(), OpenStatus::opened);
        QCOMPARE(pipewire->camera()->libcameraLocation, QStringLiteral("front"));
        source->close();
        // Monitoring, with no device node to watch for other programs.
        CameraManagerOptions options;
        options.makeFrameSource = [sensor] {
            return CameraManager::cameraSource({sensor});
        };
        CameraManager manager(options);
        manager.start();
        QTRY_VERIFY_WITH_TIMEOUT(manager.frameCount() > 5, 10000);
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.error(), std::nullopt);
    }

    // Left to choose, Quorvel reads through PipeWire where the session's daemon offers the
    // camera, and opens the device node where it does not (no camera node, only a raw
    // sensor's, no daemon). A program that already streams from the device itself when
    // Quorvel starts gets the same answer as on the device node: "Camera interrupted", and
    // Quorvel comes in once it has let go.
    void takesPipeWireWhereTheSessionOffersTheCamera() {
        TempFolder dir;
        CameraDevice v4l2;
        v4l2.path = dir.path(QStringLiteral("video0")); // the device node's stand-in
        v4l2.name = QStringLiteral("Integrated Camera");
        v4l2.capabilitiesKnown = v4l2.canCapture = true;
        v4l2.attachment = CameraDevice::Attachment::builtIn;
        writeFile(v4l2.path, {});
        const auto takes = [](const std::vector<CameraDevice>& devices) {
            const auto source = CameraManager::sessionCameraSource(devices);
            return dynamic_cast<PipeWireFrameSource*>(source.get()) ? "pipewire"
                   : dynamic_cast<V4L2FrameSource*>(source.get())   ? "v4l2"
                                                                    : "none";
        };
        QCOMPARE(takes({v4l2}), "v4l2");
        QCOMPARE(takes({}), "none");
        QString error;
        QVERIFY2(m_session->startCamera({"--picture", picture, "--v4l2", v4l2.path}, &error),
                 qPrintable(error));
        QCOMPARE(takes({v4l2}), "pipewire");
        CameraDevice sensor = v4l2;
        sensor.needsLibcamera = true;
        QCOMPARE(takes({sensor}), "v4l2");

        // A program streams from the device (it holds it locked, which the camera node takes
        // as its device being busy) before monitoring starts.
        QProcess program;
        program.start(QStringLiteral("sh"),
                      {QStringLiteral("-c"),
                       QStringLiteral("exec 3<\"$0\" && flock 3 && echo locked "
                                      "&& exec sleep 600"),
                       v4l2.path});
        QVERIFY(program.waitForReadyRead(10000));
        auto clock = std::make_shared<std::atomic<qint64>>(0);
        CameraManagerOptions options;
        options.makeFrameSource = [v4l2] {
            return CameraManager::sessionCameraSource({v4l2});
        };
        options.reopenInterval = std::chrono::milliseconds(50);
        options.clock = [clock] {
            return std::chrono::milliseconds(clock->load());
        };
        CameraManager manager(options);
        manager.start();
        QTRY_COMPARE_WITH_TIMEOUT(manager.error(), std::optional(CameraManager::interruptedText()),
                                  15000);
        QVERIFY(!manager.isRunning());
        program.kill();
        QVERIFY(program.waitForFinished(5000));
        while (!manager.isRunning() && clock->load() < 60000) {
            *clock += 500;
            QTest::qWait(50);
        }
        QTRY_VERIFY_WITH_TIMEOUT(manager.isRunning(), 15000);
        QVERIFY(clock->load() >= CameraManager::shareGracePeriod.count());
        QCOMPARE(manager.error(), std::nullopt);
        manager.stop();

        m_session.reset();
        QCOMPARE(takes({v4l2}), "v4l2");
    }

    // Where the desktop has a camera portal, it is the camera's permission: it asks the user
    // once, when nobody decided yet, and keeps the answer; PipeWire is reached through the
    // connection it hands over, and not at all once it refuses.
    void asksTheDesktopsCameraPortal() {
        QString error;
        QVERIFY2(m_session->startCamera({"--picture", picture}, &error), qPrintable(error));
        QVERIFY2(m_session->startPortal(&error), qPrintable(error + "\n" + m_session->log()));
        const auto allowed = [] {
            QObject context;
            std::optional<bool> answer;
            CameraPermission::request(&context, [&answer](bool granted) { answer = granted; });
            [&] {
                QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 20000);
            }();
            return answer.value_or(false);
        };

        // Nobody decided: the desktop asks, the user allows, and the answer is kept.
        QVERIFY(allowed());
        QCOMPARE(m_session->dialogsShown(), 1);
        QCOMPARE(m_session->cameraPermission(), QStringLiteral("yes"));
        QVERIFY(allowed());
        QCOMPARE(m_session->dialogsShown(), 1);
        PipeWireFrameSource source;
        QCOMPARE(source.open(), OpenStatus::opened);
        QVERIFY(source.throughPortal());
        QCOMPARE(grabFrames(source, 3, 10), 3);
        source.close();

        // Refused in the desktop's privacy settings: no dialog, and no camera either way.
        m_session->setCameraPermission(QStringLiteral("no"));
        QVERIFY(!allowed());
        QCOMPARE(m_session->dialogsShown(), 1);
        QCOMPARE(source.open(), OpenStatus::inputFailed);
        QCOMPARE(source.errorDescription(), CameraPortal::refusedText());

        // Nobody decided, and the user says no: kept as well.
        m_session->setCameraPermission({});
        m_session->setDialogAnswer(1);
        QVERIFY(!allowed());
        QVERIFY(!allowed());
        QCOMPARE(m_session->dialogsShown(), 2);
        QCOMPARE(m_session->cameraPermission(), QStringLiteral("no"));
    }

    // A call reads the camera meanwhile: both get their frames, the call every one, and
    // Quorvel analyses about two a second.
    void aCallReadsTheSameCamera() {
        TempFolder dir;
        const QString device = dir.path(QStringLiteral("video0")); // the device node's stand-in
        writeFile(device, {});
        QString error;
        QProcess* camera =
            m_session->startCamera({"--picture", picture, "--format", "mjpg", "--size", "1280x720",
                                    "--fps", "30", "--v4l2", device},
                                   &error);
        QVERIFY2(camera != nullptr, qPrintable(error));
        CameraManagerOptions options;
        options.makeFrameSource = [] {
            return std::make_unique<PipeWireFrameSource>();
        };
        CameraManager manager(options);
        CountingDelegate delegate;
        manager.setDelegate(&delegate);
        manager.start();
        QTRY_VERIFY_WITH_TIMEOUT(delegate.count() >= 1, 10000);

        PipeWireFrameSource call(cv::Size(1280, 720));
        QCOMPARE(call.open(), OpenStatus::opened);
        const int before = delegate.count();
        const qint64 framesBefore = manager.frameCount();
        const int seconds = 10;
        const int got = grabFrames(call, 1000, seconds);
        const int analysed = delegate.count() - before;
        const qint64 grabbed = manager.frameCount() - framesBefore;
        // 30 fps; the machine may be busy, so "every frame" allows a scheduling hiccup or two.
        QVERIFY2(got >= seconds * 30 * 9 / 10, qPrintable(QString::number(got)));
        QVERIFY2(grabbed >= seconds * 30 * 9 / 10, qPrintable(QString::number(grabbed)));
        QVERIFY2(analysed >= seconds * 3 / 2 && analysed <= seconds * 3,
                 qPrintable(QString::number(analysed)));
        QCOMPARE(delegate.size, cv::Size(320, 180));
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.error(), std::nullopt);
        // The call hangs up; the daemon may set the device's format anew, opening it again
        // itself: not another program.
        call.close();
        const qint64 frames = manager.frameCount();
        QTRY_VERIFY_WITH_TIMEOUT(manager.frameCount() > frames + 30, 10000);
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.error(), std::nullopt);
        manager.setDelegate(nullptr);
    }

    // A program that opens the camera's device node itself, not through PipeWire, gets it:
    // Quorvel stops reading and has the node suspended at once, so that the daemon lets the
    // device go, and comes back once the program has closed it and left it alone for the
    // grace period. While a call reads the camera through PipeWire too, giving way would free
    // nothing (the daemon streams it for the call), and Quorvel keeps on.
    void givesWayToAProgramThatOpensTheDevice() {
        TempFolder dir;
        const QString device = dir.path(QStringLiteral("video0")); // the device node's stand-in
        writeFile(device, {});
        QString error;
        QProcess* camera = m_session->startCamera({"--picture", picture, "--v4l2", device}, &error);
        QVERIFY2(camera != nullptr, qPrintable(error));
        auto clock = std::make_shared<std::atomic<qint64>>(0);
        CameraManagerOptions options;
        options.makeFrameSource = [] {
            return std::make_unique<PipeWireFrameSource>();
        };
        options.reopenInterval = std::chrono::milliseconds(50);
        options.clock = [clock] {
            return std::chrono::milliseconds(clock->load());
        };
        CameraManager manager(options);
        manager.start();
        QTRY_VERIFY_WITH_TIMEOUT(manager.isRunning(), 10000);
        const std::vector<qint64> us{QCoreApplication::applicationPid()};
        QVERIFY(deviceOpenInAnyProcess(device, QStringLiteral("/proc"), us)); // the daemon's

        const int closes = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(closes, QFile::encodeName(device).constData(), IN_CLOSE);
        const auto opened = std::chrono::steady_clock::now();
        int program = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_CLOEXEC);
        pollfd released{closes, POLLIN, 0};
        QCOMPARE(::poll(&released, 1, 5000), 1);
        const double gaveWayMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opened)
                .count();
        qInfo("device released by PipeWire %.2f ms after another program opened it", gaveWayMs);
        QVERIFY(gaveWayMs < 1000); // the session manager's own idle suspend takes seconds
        QTRY_COMPARE(manager.error(), std::optional(CameraManager::interruptedText()));
        QVERIFY(!deviceOpenInAnyProcess(device, QStringLiteral("/proc"), us));
        *clock += 60000; // held all the while: left to the program
        QTest::qWait(300);
        QVERIFY(!manager.isRunning());

        const qint64 closed = clock->load();
        ::close(program);
        QTest::qWait(100); // the close seen now
        while (!manager.isRunning() && clock->load() - closed < 20000) {
            *clock += 100;
            QTest::qWait(20);
        }
        QTRY_VERIFY_WITH_TIMEOUT(manager.isRunning(), 10000);
        const qint64 back = clock->load() - closed;
        qInfo("camera taken back %lld ms after the other program closed it", back);
        QVERIFY(back >= CameraManager::shareGracePeriod.count());
        QVERIFY(back <= CameraManager::shareGracePeriod.count() + 5000);

        PipeWireFrameSource call;
        QCOMPARE(call.open(), OpenStatus::opened);
        QTest::qWait(200); // the call's link reaches Quorvel's view of the graph
        program = ::open(QFile::encodeName(device).constData(), O_RDONLY | O_CLOEXEC);
        const qint64 frames = manager.frameCount();
        QTRY_VERIFY_WITH_TIMEOUT(manager.frameCount() > frames + 30, 10000);
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.error(), std::nullopt);
        ::close(program);
        ::close(closes);
    }

    // Another client suspends and pauses the camera's node under Quorvel; the camera goes
    // (unplugged) and comes back, then the daemon does (a crash, an update): the panel says
    // each, and monitoring resumes by itself.
    void comesBackAfterTheCameraOrTheDaemonWent() {
        QString error;
        QProcess* camera =
            m_session->startCamera({"--picture", picture, "--format", "mjpg"}, &error);
        QVERIFY2(camera != nullptr, qPrintable(error));
        CameraManagerOptions options;
        options.makeFrameSource = [] {
            return std::make_unique<PipeWireFrameSource>();
        };
        options.reopenInterval = std::chrono::milliseconds(200);
        CameraManager manager(options);
        manager.start();
        QTRY_VERIFY_WITH_TIMEOUT(manager.frameCount() > 5, 10000);
        const auto resumes = [&] {
            const qint64 frames = manager.frameCount();
            QTRY_VERIFY_WITH_TIMEOUT(manager.frameCount() > frames + 5, 20000);
            QTRY_VERIFY(manager.isRunning());
            QCOMPARE(manager.error(), std::nullopt);
        };

        // Another client suspends the node under Quorvel's stream, then pauses it.
        const auto cameras = PipeWireFrameSource::listCameras(&error);
        QVERIFY2(cameras && cameras->size() == 1, qPrintable(error));
        for (const char* command : {"Suspend", "Pause"}) {
            QProcess cli;
            cli.start(QStringLiteral("pw-cli"),
                      {QStringLiteral("send-command"), QString::number(cameras->front().id),
                       QString::fromLatin1(command), QStringLiteral("{}")});
            QVERIFY(cli.waitForFinished(10000));
            const QByteArray said = cli.readAllStandardError();
            QVERIFY2(cli.exitCode() == 0 && said.isEmpty(), said.constData());
            resumes();
        }

        camera->terminate();
        QTRY_COMPARE_WITH_TIMEOUT(manager.error(), std::optional(CameraManager::disconnectedText()),
                                  10000);
        QVERIFY(!manager.isRunning());
        QVERIFY2(m_session->startCamera({"--picture", picture, "--format", "yuyv"}, &error),
                 qPrintable(error));
        resumes();

        m_session->stopDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(manager.error() && !manager.isRunning(), 10000);
        QVERIFY2(manager.error()->contains(QLatin1String("PipeWire")),
                 qPrintable(*manager.error()));
        QVERIFY2(m_session->restartDaemon(&error), qPrintable(error));
        QVERIFY2(m_session->startCamera({"--picture", picture, "--format", "mjpg"}, &error),
                 qPrintable(error));
        resumes();
    }

    // A camera that never agrees a format (PipeWire says nothing then) and a session without
    // PipeWire or without a camera each get their words, never a wait without end.
    void failuresAreSaid() {
        PipeWireFrameSource source;
        QCOMPARE(source.open(), OpenStatus::unplugged);
        QCOMPARE(source.errorDescription(), QStringLiteral("PipeWire offers no camera"));
        QString error;
        QVERIFY2(m_session->startCamera({"--picture", picture, "--no-negotiate"}, &error),
                 qPrintable(error));
        QCOMPARE(source.open(), OpenStatus::opened);
        QElapsedTimer timer;
        timer.start();
        GrabResult r = GrabResult::noFrame;
        while (r == GrabResult::noFrame && timer.elapsed() < 10000) {
            r = source.grab();
        }
        QCOMPARE(r, GrabResult::failed);
        QVERIFY2(source.errorDescription().contains(QLatin1String("format")),
                 qPrintable(source.errorDescription()));
        source.close();

        m_session.reset(); // no camera left, then no daemon
        QCOMPARE(source.open(), OpenStatus::failedForNow);
        QCOMPARE(source.errorDescription(),
                 QStringLiteral("PipeWire is not running in this session"));
    }

private:
    std::unique_ptr<PipeWireSession> m_session;
};

QTEST_GUILESS_MAIN(TestPipeWire)
#include "tst_pipewire.moc"
