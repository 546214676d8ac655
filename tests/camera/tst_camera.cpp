#include "ScriptedFrameSource.h"
#include "camera/CameraDevices.h"
#include "camera/CameraManager.h"
#include "camera/CameraPermission.h"
#include "camera/FileFrameSources.h"
#include "camera/V4L2FrameSource.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <cerrno>
#include <map>
#include <opencv2/videoio.hpp>
#include <sys/stat.h>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
using Step = FrameScript::Step;

namespace {

class RecordingDelegate : public CameraFrameDelegate {
public:
    void cameraManager(CameraManager&, const cv::Mat& frame) override {
        QMutexLocker lock(&mutex);
        frames.append(frameNumber(frame));
        allBgrOnCameraThread = allBgrOnCameraThread && frame.type() == CV_8UC3 &&
                               QThread::currentThread()->objectName() == "com.quorvel.camera";
    }
    template <typename T> T read(T RecordingDelegate::*field) const {
        QMutexLocker lock(&mutex);
        return this->*field;
    }
    mutable QMutex mutex;
    QList<int> frames;
    bool allBgrOnCameraThread = true;
};

// A source that delivers nothing for `stallTimeout` counts as stopped; the default keeps an
// idle script from ever being taken for that.
CameraManagerOptions scripted(const std::shared_ptr<FrameScript>& script,
                              std::chrono::milliseconds stallTimeout = 1h) {
    CameraManagerOptions options;
    options.makeFrameSource = [script] {
        return std::make_unique<ScriptedFrameSource>(script);
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

// An opener that judges stand-in nodes by their "other" permission bits, as the system
// would for a user outside the node's group (root, who runs the tests, is never refused).
int openAsOutsider(const QString& path) {
    struct stat info {};
    if (::stat(path.toLocal8Bit().constData(), &info) != 0) {
        return errno;
    }
    return (info.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH) ? 0 : EACCES;
}

const auto groupOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup;
const auto everyone = groupOnly | QFile::ReadOther | QFile::WriteOther;

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

    void forwardsOneFrameInFifteen_data() {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<bool>("withDelegate");
        QTest::addColumn<QList<int>>("forwarded");
        QTest::newRow("45 frames")
            << QList<Step>(45, Step::frame) << true << QList<int>{15, 30, 45};
        QList<Step> gap(45, Step::frame);
        gap[14] = Step::frameWithoutImage;
        QTest::newRow("15th without image") << gap << true << QList<int>{30, 45};
        QTest::newRow("no delegate") << QList<Step>(45, Step::frame) << false << QList<int>{};
    }

    void forwardsOneFrameInFifteen() {
        QFETCH(QList<Step>, steps);
        QFETCH(bool, withDelegate);
        QFETCH(QList<int>, forwarded);
        auto script = std::make_shared<FrameScript>();
        script->steps.assign(steps.begin(), steps.end());
        RecordingDelegate delegate;
        CameraManager manager(scripted(script));
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        manager.setDelegate(withDelegate ? &delegate : nullptr);
        manager.start();
        QTRY_COMPARE(manager.frameCount(), qint64(45));
        QTRY_COMPARE(delegate.read(&RecordingDelegate::frames), forwarded);
        QVERIFY(delegate.read(&RecordingDelegate::allBgrOnCameraThread));
        // Every frame grabbed, only the forwarded ones decoded.
        QCOMPARE(script->read(&FrameScript::retrieves), withDelegate ? 3 : 0);
        QCOMPARE(values<bool>(running), QList<bool>{true});
        QCOMPARE(values<Error>(errors), QList<Error>{std::nullopt});
    }

    void failureTexts_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* situation, const QString& expected) {
            QTest::newRow(situation) << QString(situation) << expected;
        };
        row("none", "No camera found");
        row("busy", "Camera input error: Device or resource busy");
        row("rejected input", "Cannot add camera input");
        row("rejected output", "Cannot add video output");
        // The system's own words, in the language of the test run.
        row("missing node", CameraManager::inputErrorPrefix + systemErrorDescription(ENOENT));
        row("plain file", CameraManager::inputErrorPrefix + systemErrorDescription(ENOTTY));
    }

    void failureTexts() {
        QFETCH(QString, situation);
        QFETCH(QString, expected);
        TempFolder dir;
        writeFile(dir.path("video0"), "not a camera");
        auto script = std::make_shared<FrameScript>();
        CameraManagerOptions options = scripted(script);
        const std::map<QString, OpenStatus> openResults{
            {"busy", OpenStatus::inputFailed},
            {"rejected input", OpenStatus::inputRejected},
            {"rejected output", OpenStatus::outputRejected}};
        if (openResults.count(situation) != 0) {
            script->openResults.push_back(openResults.at(situation));
        } else if (situation == "none") {
            options.makeFrameSource = [] {
                return nullptr;
            };
        } else {
            const QString path = dir.path(situation == "missing node" ? "video9" : "video0");
            options.makeFrameSource = [path] {
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
        QVERIFY(!script->read(&FrameScript::isOpen));
    }

    void runtimeFailureRestartsSilently() {
        auto script = std::make_shared<FrameScript>();
        script->add(Step::frame, 10);
        script->add(Step::fail);
        script->add(Step::frame, 35);
        RecordingDelegate delegate;
        CameraManager manager(scripted(script));
        QSignalSpy willChange(&manager, &CameraManager::objectWillChange);
        manager.setDelegate(&delegate);
        manager.start();
        QTRY_COMPARE(delegate.read(&RecordingDelegate::frames), (QList<int>{15, 30, 45}));
        QCOMPARE(script->read(&FrameScript::opens), 2);
        QCOMPARE(willChange.count(), 2); // isRunning true and error none at the start, no more
        QVERIFY(manager.isRunning());
    }

    void interruptionThenRecovery_data() {
        QTest::addColumn<int>("fails"); // read failures after 20 frames; 0: frames stop coming
        QTest::addColumn<int>("failedReopenings");
        QTest::addColumn<int>("opens");
        QTest::newRow("read fails and reopening fails") << 1 << 3 << 5;
        QTest::newRow("read fails again right after the restart") << 2 << 0 << 3;
        QTest::newRow("frames stop coming") << 0 << 0 << -1;
    }

    void interruptionThenRecovery() {
        QFETCH(int, fails);
        QFETCH(int, failedReopenings);
        QFETCH(int, opens);
        auto script = std::make_shared<FrameScript>();
        script->add(Step::frame, 20);
        script->add(Step::fail, fails);
        // the first open starts, then the silent restart and reopenings fail
        script->openResults.assign(size_t(failedReopenings), OpenStatus::inputFailed);
        script->openResults.push_front(OpenStatus::opened);
        script->endless = fails > 0;
        RecordingDelegate delegate;
        CameraManager manager(scripted(script, 30ms));
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        manager.setDelegate(&delegate);
        manager.start();

        if (fails == 0) {
            QTRY_COMPARE(manager.error(), Error(CameraManager::interruptedText));
            // Still stalled: reopening attempts go on at the given rate; then frames come again.
            QTRY_VERIFY(script->read(&FrameScript::opens) >= 3);
            QMutexLocker lock(&script->mutex);
            script->endless = true;
        }
        QTRY_COMPARE(values<bool>(running), (QList<bool>{true, false, true}));
        QCOMPARE(values<Error>(errors), interruptedThenRecovered);
        QVERIFY(opens < 0 || script->read(&FrameScript::opens) == opens);
        // Counting went on across the interruption.
        QTRY_VERIFY(delegate.read(&RecordingDelegate::frames).size() >= 3);
        QCOMPARE(delegate.read(&RecordingDelegate::frames).mid(0, 3), (QList<int>{15, 30, 45}));
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
        auto script = std::make_shared<FrameScript>();
        script->endless = true;
        script->grabDelay = 5ms; // a grab is under way when the manager goes
        auto delegate = std::make_unique<RecordingDelegate>();
        auto manager = std::make_unique<CameraManager>(scripted(script));
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
        QTRY_COMPARE(script->read(&FrameScript::alive), release ? 0 : 1);
        QTRY_COMPARE(script->read(&FrameScript::closes), 1);
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
        QTest::newRow("metadata node is no camera")
            << std::vector{device("Integrated_Webcam_HD", false), device("Integrated_Webcam_HD")}
            << 1;
        QTest::newRow("infrared camera last")
            << std::vector{device("Integrated IR Camera", true, true),
                           device("Integrated I", true, true), device("USB Camera")}
            << 2;
        QTest::newRow("infrared only") << std::vector{device("IR Camera: IR Camera")} << 0;
        QTest::newRow("no built-in: the first that captures")
            << std::vector{device("Dummy output", false), device("USB Camera A"),
                           device("USB Camera B")}
            << 1;
        QTest::newRow("a node that could not be asked comes last")
            << std::vector{device("", false, false, false), device("USB Camera")} << 1;
        QTest::newRow("only nodes that could not be asked")
            << std::vector{device("", false, false, false)} << 0;
        QTest::newRow("nothing captures") << std::vector{device("Integrated Camera", false)} << -1;
        QTest::newRow("no devices") << std::vector<CameraDevice>{} << -1;
    }

    void choosesTheCamera() {
        QFETCH(std::vector<CameraDevice>, devices);
        QFETCH(int, chosen);
        const auto choice = chooseCameraDevice(devices);
        QCOMPARE(choice ? choice->path : QString(), chosen < 0 ? QString() : devices[chosen].path);
    }

    void listsVideoNodesInNumberOrder() {
        TempFolder dev;
        TempFolder sys;
        for (const char* node : {"video10", "video2", "video0", "media0", "videoX"}) {
            writeFile(dev.path(node), {});
        }
        writeFile(sys.path("video2/name"), "Integrated Camera: Integrated C\n");
        const auto devices = listCameraDevices(dev.path(), sys.path());
        QStringList paths;
        for (const CameraDevice& found : devices) {
            paths << QFileInfo(found.path).fileName();
        }
        QCOMPARE(paths, (QStringList{"video0", "video2", "video10"}));
        QCOMPARE(devices[1].name, QString("Integrated Camera: Integrated C"));
        QVERIFY(!devices[1].capabilitiesKnown); // a plain file answers no V4L2 question
        QVERIFY(listCameraDevices(dev.path("nowhere"), sys.path()).empty());
    }

    void authorisationFromDeviceNodes_data() {
        // name=o: open to everyone, name=g: group only, name=<number>: opening fails so
        QTest::addColumn<QStringList>("nodes");
        QTest::addColumn<CameraAuthStatus>("expected");
        const auto code = [](const char* name, int error) {
            return QStringLiteral("%1=%2").arg(QLatin1String(name)).arg(error);
        };
        QTest::newRow("no nodes") << QStringList{} << CameraAuthStatus::authorized;
        QTest::newRow("group only")
            << QStringList{"video0=g", "video1=g"} << CameraAuthStatus::denied;
        QTest::newRow("one open to all")
            << QStringList{"video0=g", "video1=o"} << CameraAuthStatus::authorized;
        QTest::newRow("other nodes don't count")
            << QStringList{"video0=g", "media0=o", "videoX=o", "vbi0=o"}
            << CameraAuthStatus::denied;
        QTest::newRow("not permitted") << QStringList{code("video0", EACCES), code("video1", EPERM)}
                                       << CameraAuthStatus::denied;
        QTest::newRow("busy is permitted")
            << QStringList{code("video0", EACCES), code("video1", EBUSY)}
            << CameraAuthStatus::authorized;
        QTest::newRow("no device behind is permitted")
            << QStringList{code("video0", ENXIO), code("video1", EACCES)}
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
            QVERIFY(
                QFile::setPermissions(dev.path(parts[0]), parts[1] == "g" ? groupOnly : everyone));
            if (parts[1] != "g" && parts[1] != "o") {
                errors[parts[0]] = parts[1].toInt();
            }
        }
        QDir(dev.path()).mkdir("video7"); // a folder is no node
        const auto open = [&](const QString& path) {
            const auto error = errors.find(QFileInfo(path).fileName());
            return error != errors.end() ? error->second : openAsOutsider(path);
        };
        QCOMPARE(currentCameraAuthStatus({dev.path(), open}), expected);
    }

    void requestAnswersLaterOnTheMainThread() {
        TempFolder dev;
        writeFile(dev.path("video0"), {});
        QVERIFY(QFile::setPermissions(dev.path("video0"), groupOnly));
        QCOMPARE(CameraAccessProbe::openNode(dev.path("video9")), ENOENT);
        QObject context;
        QList<bool> answers;
        QList<bool> onMainThread;
        const auto record = [&](bool granted) {
            answers.append(granted);
            onMainThread.append(QThread::currentThread() == QCoreApplication::instance()->thread());
        };
        CameraPermission::request(&context, record, {dev.path(), &openAsOutsider});
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE(answers, QList<bool>{false});
        QCOMPARE(onMainThread, QList<bool>{true});

        auto gone = std::make_unique<QObject>();
        bool called = false;
        CameraPermission::request(gone.get(), [&](bool) { called = true; }, {dev.path()});
        gone.reset();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(!called);
    }

    // A recorded clip through the manager: its end restarts it silently, so it plays in a loop.
    void videoFileThroughTheManager() {
        TempFolder dir;
        const QString path = dir.path("clip.avi");
        {
            cv::VideoWriter writer(path.toStdString(), cv::CAP_OPENCV_MJPEG,
                                   cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, {64, 48});
            QVERIFY(writer.isOpened());
            for (int i = 0; i < 20; ++i) {
                writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar(i * 10, 80, 160)));
            }
        }
        RecordingDelegate delegate;
        CameraManagerOptions options;
        options.makeFrameSource = [path] {
            return std::make_unique<PacedFrameSource>(
                std::make_unique<VideoFileFrameSource>(path, cv::CAP_OPENCV_MJPEG), 500.0);
        };
        CameraManager manager(std::move(options));
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        manager.setDelegate(&delegate);
        manager.start();
        QTRY_VERIFY(delegate.read(&RecordingDelegate::frames).size() >= 3); // 20 frames a pass
        QCOMPARE(values<Error>(errors), QList<Error>{std::nullopt});
        QVERIFY(delegate.read(&RecordingDelegate::allBgrOnCameraThread));
        VideoFileFrameSource missing(dir.path("none.avi"));
        QCOMPARE(missing.open(), OpenStatus::inputFailed);
        QCOMPARE(missing.errorDescription(), systemErrorDescription(ENOENT));
        QCOMPARE(ImageFrameSource(cv::Mat()).open(), OpenStatus::inputFailed);
    }
};

QTEST_GUILESS_MAIN(TestCamera)
#include "tst_camera.moc"
