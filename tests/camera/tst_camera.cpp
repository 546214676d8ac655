#include "ScriptedCamera.h"
#include "camera/CameraDevices.h"
#include "camera/CameraManager.h"
#include "camera/CameraPermission.h"
#include "camera/V4L2FrameSource.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <cerrno>
#include <map>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
using Step = ScriptedCamera::Step;
using Formats = std::vector<StandInCamera::Format>;

namespace {

// Records the number of each frame it is handed, and whether every frame was a BGR picture
// of the scripted colour, of the size last seen, handed over on the camera thread.
class RecordingDelegate : public CameraFrameDelegate {
public:
    void cameraManager(CameraManager& manager, const cv::Mat& frame) override {
        QMutexLocker lock(&mutex);
        frames.append(int(manager.frameCount()));
        const cv::Scalar mean = frame.empty() ? cv::Scalar() : cv::mean(frame);
        allAsSent = allAsSent && frame.type() == CV_8UC3 &&
                    cv::norm(mean - ScriptedCamera::colour, cv::NORM_INF) < 12 &&
                    QThread::currentThread()->objectName() == "com.quorvel.camera";
        size = QSize(frame.cols, frame.rows);
    }
    template <typename T> T read(T RecordingDelegate::*field) const {
        QMutexLocker lock(&mutex);
        return this->*field;
    }
    mutable QMutex mutex;
    QList<int> frames;
    bool allAsSent = true;
    QSize size;
};

// A source that delivers nothing for `stallTimeout` counts as stopped; the default keeps an
// idle script from ever being taken for that.
CameraManagerOptions scripted(const std::shared_ptr<ScriptedCamera>& camera,
                              std::chrono::milliseconds stallTimeout = 1h) {
    CameraManagerOptions options;
    options.makeFrameSource = [camera] {
        return std::make_unique<V4L2FrameSource>("/dev/video0", camera);
    };
    options.reopenInterval = 10ms;
    options.stallTimeout = stallTimeout;
    return options;
}

template <typename T> QList<T> values(const QSignalSpy& spy) {
    QList<T> list;
    for (const auto& arguments : spy) {
        list.append(arguments.at(0).value<T>());
    }
    return list;
}

using Error = std::optional<QString>;
const QList<Error> interruptedThenRecovered{std::nullopt, CameraManager::interruptedText,
                                            std::nullopt};

CameraDevice device(const QString& name, bool canCapture = true, bool monochrome = false,
                    bool known = true) {
    static int number = 0; // paths only tell the devices apart
    return {QStringLiteral("/dev/video%1").arg(number++), name, known, canCapture, monochrome};
}

} // namespace

class TestCamera : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() {
        // Every camera thread ends once its manager is gone, and takes its source with it.
        QTRY_COMPARE(CameraManager::liveCameraThreads(), 0);
    }

    // Of the formats offered: MJPG, else YUYV, ...; of its sizes: the smallest one at least
    // 320x240, else the largest below.
    void forwardsOneFrameInFifteen_data() {
        QTest::addColumn<Formats>("offered");
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<bool>("withDelegate");
        QTest::addColumn<QList<int>>("forwarded");
        QTest::addColumn<QSize>("size");
        const QList<Step> frames(45, Step::frame);
        const Formats mjpg{{V4L2_PIX_FMT_MJPEG, {{320, 240}}}};
        const QList<int> all{15, 30, 45};
        QTest::newRow("UVC webcam: MJPG")
            << Formats{{V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}},
                       {V4L2_PIX_FMT_MJPEG, {{1280, 720}, {640, 480}, {320, 240}, {160, 120}}}}
            << frames << true << all << QSize(320, 240);
        QTest::newRow("YUYV, sizes only larger")
            << Formats{{V4L2_PIX_FMT_H264, {{320, 240}}},
                       {V4L2_PIX_FMT_YUYV, {{1280, 720}, {640, 360}, {640, 480}}}}
            << frames << true << all << QSize(640, 360);
        const QList<Step> gaps = frames.mid(0, 20) + // none of these is a frame
                                 QList<Step>{Step::empty, Step::eagain, Step::stall, Step::empty} +
                                 frames.mid(20);
        QTest::newRow("sizes only smaller; empty buffer, EAGAIN, stall")
            << Formats{{V4L2_PIX_FMT_MJPEG, {{160, 120}, {176, 144}}}} << gaps << true << all
            << QSize(176, 144);
        QList<Step> damaged = frames;
        damaged[14] = Step::corrupt;
        QTest::newRow("15th MJPG corrupt: skipped, counted")
            << mjpg << damaged << true << QList<int>{30, 45} << QSize(320, 240);
        QTest::newRow("no delegate") << mjpg << frames << false << QList<int>{} << QSize();
    }

    void forwardsOneFrameInFifteen() {
        QFETCH(Formats, offered);
        QFETCH(QList<Step>, steps);
        QFETCH(bool, withDelegate);
        QFETCH(QList<int>, forwarded);
        QFETCH(QSize, size);
        auto camera = std::make_shared<ScriptedCamera>(offered);
        camera->steps.assign(steps.begin(), steps.end());
        RecordingDelegate delegate;
        CameraManager manager(scripted(camera));
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        manager.setDelegate(withDelegate ? &delegate : nullptr);
        manager.start();
        QTRY_COMPARE(manager.frameCount(), qint64(45));
        QTRY_COMPARE(delegate.read(&RecordingDelegate::frames), forwarded);
        QVERIFY(delegate.read(&RecordingDelegate::allAsSent));
        QCOMPARE(delegate.read(&RecordingDelegate::size), size);
        QTRY_COMPARE(values<bool>(running), QList<bool>{true});
        QCOMPARE(values<Error>(errors), QList<Error>{std::nullopt});
        QVERIFY(camera->maxPollTimeoutMs.load() <= 1000); // a stall is seen soon
    }

    void failureTexts_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* situation, const QString& expected) {
            QTest::newRow(situation) << QString(situation) << expected;
        };
        const QString busy = "Camera input error: Device or resource busy";
        row("busy at open", busy);
        row("busy at stream-on", busy);
        row("only H264", "Cannot add camera input");
        row("format refused", "Cannot add video output");
        row("missing node", "Camera input error: No such file or directory");
    }

    void failureTexts() {
        QFETCH(QString, situation);
        QFETCH(QString, expected);
        TempFolder dir;
        auto camera = std::make_shared<ScriptedCamera>(
            situation == "only H264" ? Formats{{V4L2_PIX_FMT_H264, {{320, 240}}}}
                                     : Formats{{V4L2_PIX_FMT_MJPEG, {{320, 240}}}});
        const std::map<QString, std::pair<unsigned long, int>> failures{
            {"busy at open", {ScriptedCamera::openCall, EBUSY}},
            {"busy at stream-on", {VIDIOC_STREAMON, EBUSY}},
            {"format refused", {VIDIOC_S_FMT, EINVAL}}};
        if (failures.count(situation) != 0) {
            camera->failures.insert(failures.at(situation));
        }
        CameraManagerOptions options = scripted(camera);
        if (situation == "missing node") {
            options.makeFrameSource = [path = dir.path("video9")] {
                return std::make_unique<V4L2FrameSource>(path);
            };
        }
        CameraManager manager(std::move(options));
        QSignalSpy willChange(&manager, &CameraManager::objectWillChange);
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        manager.start();
        QTRY_COMPARE(manager.error(), Error(expected));
        QCOMPARE(willChange.count(), 1);
        QCOMPARE(running.count(), 0);
        QVERIFY(!camera->isOpen());
        QCOMPARE(camera->mappedBuffers(), 0);
    }

    // A camera that was delivering and fails is restarted without a word; when that fails
    // too it is interrupted, and looked for again until it delivers.
    void readFailures_data() {
        QTest::addColumn<int>("unplugs"); // ENODEV mid-stream after 20 frames; 0: frames stop
        QTest::addColumn<int>("failedOpens");
        QTest::addColumn<int>("opens");
        QTest::addColumn<QList<bool>>("running");
        const QList<bool> interrupted{true, false, true};
        QTest::newRow("unplugged, back at once") << 1 << 0 << 2 << QList<bool>{true};
        QTest::newRow("unplugged, node gone for three tries") << 1 << 3 << 5 << interrupted;
        QTest::newRow("unplugged again right after the restart") << 2 << 0 << 3 << interrupted;
        QTest::newRow("frames stop coming") << 0 << 0 << -1 << interrupted;
    }

    void readFailures() {
        QFETCH(int, unplugs);
        QFETCH(int, failedOpens);
        QFETCH(int, opens);
        QFETCH(QList<bool>, running);
        auto camera = std::make_shared<ScriptedCamera>();
        camera->add(Step::frame, 20);
        camera->add(Step::unplug, unplugs);
        camera->goneAfterUnplug = failedOpens;
        camera->endless = unplugs > 0;
        RecordingDelegate delegate;
        CameraManager manager(scripted(camera, 30ms));
        QSignalSpy runningSpy(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        manager.setDelegate(&delegate);
        manager.start();
        if (unplugs == 0) {
            QTRY_COMPARE(manager.error(), Error(CameraManager::interruptedText));
            // Still stalled: reopening attempts go on at the given rate; then frames come again.
            QTRY_VERIFY(camera->opens.load() >= 3);
            camera->endless = true;
        }
        // Counting goes on across a restart or an interruption.
        QTRY_VERIFY(delegate.read(&RecordingDelegate::frames).size() >= 3);
        QCOMPARE(delegate.read(&RecordingDelegate::frames).mid(0, 3), (QList<int>{15, 30, 45}));
        QVERIFY(opens < 0 || camera->opens.load() == opens);
        // What the camera thread published before those frames is posted by now.
        QCoreApplication::sendPostedEvents();
        QCOMPARE(values<bool>(runningSpy), running);
        QCOMPARE(values<Error>(errors),
                 running.size() == 1 ? QList<Error>{std::nullopt} : interruptedThenRecovered);
    }

    // Stopping closes the camera; releasing the manager right after (before its queued "not
    // running" is delivered), or without stopping, does too, and nothing reaches the delegate
    // or the observers afterwards.
    void stopAndRelease_data() {
        QTest::addColumn<bool>("stop");
        QTest::addColumn<bool>("release");
        QTest::newRow("stop") << true << false;
        QTest::newRow("stop, then release") << true << true;
        QTest::newRow("release only") << false << true;
    }

    void stopAndRelease() {
        QFETCH(bool, stop);
        QFETCH(bool, release);
        auto camera = std::make_shared<ScriptedCamera>();
        camera->endless = true;
        auto delegate = std::make_unique<RecordingDelegate>();
        auto manager = std::make_unique<CameraManager>(scripted(camera));
        QSignalSpy running(manager.get(), &CameraManager::isRunningChanged);
        int heard = 0;
        QObject receiver;
        connect(manager.get(), &CameraManager::objectWillChange, &receiver, [&] { ++heard; });
        manager->setDelegate(delegate.get());
        manager->start();
        QTRY_VERIFY(delegate->read(&RecordingDelegate::frames).size() >= 1);
        QTRY_VERIFY(manager->isRunning());
        heard = 0;
        if (stop) {
            manager->stop();
        }
        if (release) {
            manager.reset();
            delegate.reset(); // the detector goes right after the manager: no call may reach it
        }
        QTRY_VERIFY(!camera->isOpen());
        QCOMPARE(camera->mappedBuffers(), 0);
        if (release) {
            QTRY_COMPARE(CameraManager::liveCameraThreads(), 0);
            QCOMPARE(heard, 0); // the stop's "not running" went nowhere
        } else {
            QTRY_COMPARE(values<bool>(running), (QList<bool>{true, false}));
            const qint64 frames = manager->frameCount();
            QCoreApplication::processEvents();
            QCOMPARE(manager->frameCount(), frames);
        }
    }

    void choosesTheCamera_data() {
        QTest::addColumn<std::vector<CameraDevice>>("devices");
        QTest::addColumn<int>("chosen"); // -1: none
        QTest::newRow("built-in before an earlier USB camera")
            << std::vector{device("HD Pro Webcam C920"), device("Integrated Camera: Integrated C")}
            << 1;
        QTest::newRow("infrared camera last")
            << std::vector{device("Integrated IR Camera", true, true),
                           device("Integrated I", true, true), device("USB Camera")}
            << 2;
        QTest::newRow("a node that could not be asked comes last")
            << std::vector{device("", false, false, false), device("USB Camera")} << 1;
        QTest::newRow("nothing captures") << std::vector{device("Integrated Camera", false)} << -1;
    }

    void choosesTheCamera() {
        QFETCH(std::vector<CameraDevice>, devices);
        QFETCH(int, chosen);
        const auto choice = chooseCameraDevice(devices);
        QCOMPARE(choice ? choice->path : QString(), chosen < 0 ? QString() : devices[chosen].path);
    }

    void authorisationFromDeviceNodes_data() {
        QTest::addColumn<QStringList>("nodes"); // name=errno of opening it (0: it opens)
        QTest::addColumn<CameraAuthStatus>("expected");
        const auto code = [](const char* name, int error) {
            return QStringLiteral("%1=%2").arg(QLatin1String(name)).arg(error);
        };
        QTest::newRow("no nodes") << QStringList{} << CameraAuthStatus::authorized;
        QTest::newRow("none permitted; other nodes don't count")
            << QStringList{code("video0", EACCES), code("video1", EPERM), "media0=0", "videoX=0"}
            << CameraAuthStatus::denied;
        QTest::newRow("one permitted")
            << QStringList{code("video0", EACCES), "video1=0"} << CameraAuthStatus::authorized;
        QTest::newRow("busy, or no device behind, is permitted")
            << QStringList{code("video0", EACCES), code("video1", EBUSY), code("video2", ENXIO)}
            << CameraAuthStatus::authorized;
    }

    void authorisationFromDeviceNodes() {
        QFETCH(QStringList, nodes);
        QFETCH(CameraAuthStatus, expected);
        TempFolder dev;
        std::map<QString, int> errors;
        for (const QString& node : nodes) {
            const QStringList parts = node.split('=');
            writeFile(dev.path(parts[0]), {});
            errors[parts[0]] = parts[1].toInt();
        }
        QDir(dev.path()).mkdir("video7"); // a folder is no node
        const auto open = [errors](const QString& path) {
            const auto error = errors.find(QFileInfo(path).fileName());
            return error != errors.end() ? error->second : EACCES;
        };
        QCOMPARE(currentCameraAuthStatus({dev.path(), open}), expected);
        // Asked for: the answer comes later, on the main thread, unless the context is gone.
        QList<bool> answers;
        const auto record = [&](bool granted) {
            answers.append(granted && QThread::currentThread() == thread());
        };
        CameraPermission::request(this, record, {dev.path(), open});
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE(answers, QList<bool>{isAuthorized(expected)});
        auto gone = std::make_unique<QObject>();
        CameraPermission::request(gone.get(), record, {dev.path(), open});
        gone.reset();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QCOMPARE(answers.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCamera)
#include "tst_camera.moc"
