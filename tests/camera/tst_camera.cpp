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
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
using Step = FrameScript::Step;

namespace {

class RecordingDelegate : public CameraFrameDelegate {
public:
    void cameraManager(CameraManager&, const cv::Mat& frame) override {
        QMutexLocker lock(&m_mutex);
        m_frames.append(frameNumber(frame));
        m_allBgrOnCameraThread = m_allBgrOnCameraThread && frame.type() == CV_8UC3 &&
                                 QThread::currentThread()->objectName() == "com.quorvel.camera";
    }
    QList<int> frames() const {
        QMutexLocker lock(&m_mutex);
        return m_frames;
    }
    bool allBgrOnCameraThread() const {
        QMutexLocker lock(&m_mutex);
        return m_allBgrOnCameraThread;
    }

private:
    mutable QMutex m_mutex;
    QList<int> m_frames;
    bool m_allBgrOnCameraThread = true;
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

// An opener that judges stand-in nodes by their "other" permission bits, as the system
// would for a user outside the node's group (root, who runs the tests, is never refused).
int openAsOutsider(const QString& path) {
    struct stat info {};
    if (::stat(path.toLocal8Bit().constData(), &info) != 0) {
        return errno;
    }
    return (info.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH) ? 0 : EACCES;
}

void makeNode(const QString& path, QFile::Permissions permissions) {
    writeFile(path, {});
    QVERIFY(QFile::setPermissions(path, permissions));
}

const auto groupOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup;
const auto everyone = groupOnly | QFile::ReadOther | QFile::WriteOther;

CameraDevice device(const QString& path, const QString& name, bool canCapture = true,
                    bool monochrome = false, bool known = true) {
    return {path, name, known, canCapture, monochrome};
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
        for (Step step : steps) {
            script->add(step);
        }
        RecordingDelegate delegate;
        CameraManager manager(scripted(script));
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        if (withDelegate) {
            manager.setDelegate(&delegate);
        }
        manager.start();
        QTRY_COMPARE(manager.frameCount(), qint64(45));
        QTRY_COMPARE(delegate.frames(), forwarded);
        QVERIFY(delegate.allBgrOnCameraThread());
        // Every frame grabbed, only the forwarded ones decoded.
        QCOMPARE(script->read(&FrameScript::retrieves), withDelegate ? 3 : 0);
        QCOMPARE(values<bool>(running), QList<bool>{true});
        QCOMPARE(values<Error>(errors), QList<Error>{std::nullopt});
        QVERIFY(manager.isRunning());
    }

    void failureTexts_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no camera") << "none"
                                   << "No camera found";
        QTest::newRow("busy") << "busy"
                              << "Camera input error: Device or resource busy";
        QTest::newRow("no input") << "rejected input"
                                  << "Cannot add camera input";
        QTest::newRow("no output") << "rejected output"
                                   << "Cannot add video output";
        // The system's own words, in the language of the test run.
        QTest::newRow("missing node")
            << "missing node" << CameraManager::inputErrorPrefix + systemErrorDescription(ENOENT);
        QTest::newRow("not a video node")
            << "plain file" << CameraManager::inputErrorPrefix + systemErrorDescription(ENOTTY);
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
        QVERIFY(!manager.isRunning());
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
        QTRY_COMPARE(delegate.frames(), (QList<int>{15, 30, 45}));
        QCOMPARE(script->read(&FrameScript::opens), 2);
        QCOMPARE(willChange.count(), 2); // isRunning true and error none at the start, no more
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.error(), Error());
    }

    void interruptionThenRecovery_data() {
        QTest::addColumn<bool>("byFailure");
        QTest::newRow("read fails and reopening fails") << true;
        QTest::newRow("frames stop coming") << false;
    }

    void interruptionThenRecovery() {
        QFETCH(bool, byFailure);
        auto script = std::make_shared<FrameScript>();
        script->add(Step::frame, 20);
        if (byFailure) {
            script->add(Step::fail);
            // the first open starts, then the silent restart and two reopenings fail
            script->openResults = {OpenStatus::opened, OpenStatus::inputFailed,
                                   OpenStatus::inputFailed, OpenStatus::inputFailed};
            script->endless = true;
        }
        RecordingDelegate delegate;
        CameraManager manager(scripted(script, 30ms));
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        manager.setDelegate(&delegate);
        manager.start();

        if (!byFailure) {
            QTRY_COMPARE(manager.error(), Error(CameraManager::interruptedText));
            QVERIFY(!manager.isRunning());
            // Still stalled: reopening attempts go on at the given rate; then frames come again.
            QTRY_VERIFY(script->read(&FrameScript::opens) >= 3);
            QMutexLocker lock(&script->mutex);
            script->endless = true;
        }
        QTRY_COMPARE(values<bool>(running), (QList<bool>{true, false, true}));
        QCOMPARE(values<Error>(errors),
                 (QList<Error>{std::nullopt, CameraManager::interruptedText, std::nullopt}));
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.error(), Error());
        if (byFailure) {
            QCOMPARE(script->read(&FrameScript::opens), 5);
        }
        // Counting went on across the interruption.
        QTRY_VERIFY(delegate.frames().size() >= 3);
        QCOMPARE(delegate.frames().mid(0, 3), (QList<int>{15, 30, 45}));
    }

    void failingAgainRightAfterRestartIsAnInterruption() {
        auto script = std::make_shared<FrameScript>();
        script->add(Step::frame, 5);
        script->add(Step::fail, 2);
        CameraManager manager(scripted(script));
        manager.start();
        QTRY_COMPARE(manager.error(), Error(CameraManager::interruptedText));
    }

    void stopReleasesTheCamera() {
        auto script = std::make_shared<FrameScript>();
        script->endless = true;
        script->grabDelay = 2ms;
        CameraManager manager(scripted(script));
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        manager.start();
        QTRY_VERIFY(manager.isRunning());
        QTRY_VERIFY(manager.frameCount() > 3);
        manager.stop();
        QTRY_COMPARE(script->read(&FrameScript::alive), 0);
        QCOMPARE(script->read(&FrameScript::closes), 1);
        QTRY_COMPARE(values<bool>(running), (QList<bool>{true, false}));
        const qint64 frames = manager.frameCount();
        QCoreApplication::processEvents();
        QCOMPARE(manager.frameCount(), frames);
    }

    void releasingTheManagerRightAfterStop_data() {
        QTest::addColumn<bool>("stopFirst");
        QTest::newRow("stop, then release") << true;
        QTest::newRow("release only") << false;
    }

    void releasingTheManagerRightAfterStop() {
        QFETCH(bool, stopFirst);
        auto script = std::make_shared<FrameScript>();
        script->endless = true;
        script->grabDelay = 5ms; // a grab is under way when the manager goes
        auto delegate = std::make_unique<RecordingDelegate>();
        auto manager = std::make_unique<CameraManager>(scripted(script));
        int deliveredAfterRelease = 0;
        QObject receiver;
        connect(manager.get(), &CameraManager::objectWillChange, &receiver,
                [&] { ++deliveredAfterRelease; });
        manager->setDelegate(delegate.get());
        manager->start();
        QTRY_VERIFY(!delegate->frames().isEmpty());
        QTRY_VERIFY(manager->isRunning());
        deliveredAfterRelease = 0;
        if (stopFirst) {
            manager->stop();
        }
        manager.reset();
        delegate.reset(); // the detector goes right after the manager: no call may reach it
        QTRY_COMPARE(script->read(&FrameScript::alive), 0);
        QTRY_COMPARE(CameraManager::liveCameraThreads(), 0);
        QCOMPARE(script->read(&FrameScript::closes), 1);
        QCOMPARE(deliveredAfterRelease, 0); // the stop's "not running" went nowhere
    }

    void choosesTheCamera_data() {
        QTest::addColumn<std::vector<CameraDevice>>("devices");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("built-in before an earlier USB camera")
            << std::vector{device("/dev/video0", "HD Pro Webcam C920"),
                           device("/dev/video2", "Integrated Camera: Integrated C")}
            << "/dev/video2";
        QTest::newRow("metadata node is no camera")
            << std::vector{device("/dev/video0", "Integrated_Webcam_HD", false),
                           device("/dev/video1", "Integrated_Webcam_HD")}
            << "/dev/video1";
        QTest::newRow("infrared camera last")
            << std::vector{device("/dev/video0", "Integrated IR Camera", true, true),
                           device("/dev/video2", "Integrated I", true, true),
                           device("/dev/video4", "USB Camera")}
            << "/dev/video4";
        QTest::newRow("infrared only")
            << std::vector{device("/dev/video0", "IR Camera: IR Camera")} << "/dev/video0";
        QTest::newRow("no built-in: the first that captures")
            << std::vector{device("/dev/video0", "Dummy output", false),
                           device("/dev/video1", "USB Camera A"),
                           device("/dev/video2", "USB Camera B")}
            << "/dev/video1";
        QTest::newRow("a node that could not be asked comes last")
            << std::vector{device("/dev/video0", "", false, false, false),
                           device("/dev/video1", "USB Camera")}
            << "/dev/video1";
        QTest::newRow("only nodes that could not be asked")
            << std::vector{device("/dev/video0", "", false, false, false)} << "/dev/video0";
        QTest::newRow("nothing captures")
            << std::vector{device("/dev/video0", "Integrated Camera", false)} << "";
        QTest::newRow("no devices") << std::vector<CameraDevice>{} << "";
    }

    void choosesTheCamera() {
        QFETCH(std::vector<CameraDevice>, devices);
        QFETCH(QString, chosen);
        const auto choice = chooseCameraDevice(devices);
        QCOMPARE(choice ? choice->path : QString(), chosen);
    }

    void builtInNames() {
        for (const char* name : {"Integrated Camera: Integrated C", "Integrated_Webcam_HD",
                                 "FaceTime HD Camera (Built-in)", "Front Camera", "builtin cam"}) {
            QVERIFY2(nameSaysBuiltIn(name), name);
        }
        for (const char* name : {"HD Pro Webcam C920", "USB2.0 HD UVC WebCam", "Pirate Cam"}) {
            QVERIFY2(!nameSaysBuiltIn(name), name);
        }
        QVERIFY(nameSaysInfrared("Integrated IR Camera"));
        QVERIFY(!nameSaysInfrared("Mirror Cam"));
    }

    void listsVideoNodesInNumberOrder() {
        TempFolder dev;
        TempFolder sys;
        for (const char* node : {"video10", "video2", "video0", "media0", "videoX"}) {
            writeFile(dev.path(node), {});
        }
        writeFile(sys.path("video2/name"), "Integrated Camera: Integrated C\n");
        const auto devices = listCameraDevices(dev.path(), sys.path());
        QCOMPARE(devices.size(), size_t(3));
        QCOMPARE(devices[0].path, dev.path("video0"));
        QCOMPARE(devices[1].path, dev.path("video2"));
        QCOMPARE(devices[2].path, dev.path("video10"));
        QCOMPARE(devices[1].name, QString("Integrated Camera: Integrated C"));
        QVERIFY(!devices[1].capabilitiesKnown); // a plain file answers no V4L2 question
        QVERIFY(listCameraDevices(dev.path("nowhere"), sys.path()).empty());
    }

    void authorisationFromDeviceNodes_data() {
        QTest::addColumn<QStringList>("nodes"); // name=o for everyone, name=g for group only
        QTest::addColumn<CameraAuthStatus>("expected");
        QTest::newRow("no nodes") << QStringList{} << CameraAuthStatus::authorized;
        QTest::newRow("group only")
            << QStringList{"video0=g", "video1=g"} << CameraAuthStatus::denied;
        QTest::newRow("one open to all")
            << QStringList{"video0=g", "video1=o"} << CameraAuthStatus::authorized;
        QTest::newRow("other nodes don't count")
            << QStringList{"video0=g", "media0=o", "videoX=o", "vbi0=o"}
            << CameraAuthStatus::denied;
    }

    void authorisationFromDeviceNodes() {
        QFETCH(QStringList, nodes);
        QFETCH(CameraAuthStatus, expected);
        TempFolder dev;
        for (const QString& node : nodes) {
            const QStringList parts = node.split('=');
            makeNode(dev.path(parts[0]), parts[1] == "o" ? everyone : groupOnly);
        }
        QDir(dev.path()).mkdir("video7"); // a folder is no node
        QCOMPARE(currentCameraAuthStatus({dev.path(), &openAsOutsider}), expected);
    }

    void authorisationByOpenError() {
        TempFolder dev;
        writeFile(dev.path("video0"), {});
        writeFile(dev.path("video1"), {});
        std::map<QString, int> errors;
        const CameraAccessProbe probe{dev.path(), [&](const QString& path) {
                                          return errors[QFileInfo(path).fileName()];
                                      }};
        errors = {{"video0", EACCES}, {"video1", EPERM}};
        QCOMPARE(currentCameraAuthStatus(probe), CameraAuthStatus::denied);
        errors = {{"video0", EACCES}, {"video1", EBUSY}};
        QCOMPARE(currentCameraAuthStatus(probe), CameraAuthStatus::authorized);
        errors = {{"video0", ENXIO}, {"video1", EACCES}};
        QCOMPARE(currentCameraAuthStatus(probe), CameraAuthStatus::authorized);

        QCOMPARE(CameraAccessProbe::openNode(dev.path("video0")), 0);
        QCOMPARE(CameraAccessProbe::openNode(dev.path("video9")), ENOENT);
        QVERIFY(QFile::setPermissions(dev.path("video1"), {}));
        QCOMPARE(CameraAccessProbe::openNode(dev.path("video1")), ::geteuid() == 0 ? 0 : EACCES);
        QVERIFY(isAuthorized(CameraAuthStatus::authorized));
        QVERIFY(!isAuthorized(CameraAuthStatus::notDetermined));
    }

    void requestAnswersLaterOnTheMainThread() {
        TempFolder dev;
        makeNode(dev.path("video0"), groupOnly);
        QObject context;
        QList<bool> answers;
        QList<bool> onMainThread;
        const auto record = [&](bool granted) {
            answers.append(granted);
            onMainThread.append(QThread::currentThread() == QCoreApplication::instance()->thread());
        };
        CameraPermission::request(&context, record, {dev.path(), &openAsOutsider});
        CameraPermission::request(&context, record, {dev.path("empty"), &openAsOutsider});
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE(answers.size(), 2);
        QCOMPARE(QSet<bool>(answers.begin(), answers.end()), (QSet<bool>{false, true}));
        QCOMPARE(onMainThread, (QList<bool>{true, true}));

        auto gone = std::make_unique<QObject>();
        bool called = false;
        CameraPermission::request(gone.get(), [&](bool) { called = true; }, {dev.path()});
        gone.reset();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(!called);
    }

    void fileSourcesWithOpenCV() {
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
        VideoFileFrameSource video(path, cv::CAP_OPENCV_MJPEG);
        for (int pass = 0; pass < 2; ++pass) {
            QCOMPARE(video.open(), OpenStatus::opened);
            for (int i = 0; i < 20; ++i) {
                QCOMPARE(video.grab(), GrabResult::frame);
            }
            cv::Mat image;
            QVERIFY(video.retrieve(image));
            QCOMPARE(image.type(), CV_8UC3);
            QCOMPARE(image.size(), cv::Size(64, 48));
            QCOMPARE(video.grab(), GrabResult::failed); // the end; opening again starts over
        }
        VideoFileFrameSource missing(dir.path("none.avi"));
        QCOMPARE(missing.open(), OpenStatus::inputFailed);
        QCOMPARE(missing.errorDescription(), systemErrorDescription(ENOENT));

        ImageFrameSource still(testDataPath("astronaut.png"));
        QCOMPARE(still.open(), OpenStatus::opened);
        QCOMPARE(still.grab(), GrabResult::frame);
        cv::Mat image;
        QVERIFY(still.retrieve(image));
        QCOMPARE(image.type(), CV_8UC3);
        ImageFrameSource grey(cv::Mat(4, 4, CV_8UC1, cv::Scalar(7)));
        QCOMPARE(grey.open(), OpenStatus::opened);
        QVERIFY(grey.retrieve(image));
        QCOMPARE(image.type(), CV_8UC3);
        QCOMPARE(ImageFrameSource(cv::Mat()).open(), OpenStatus::inputFailed);

        // Through the manager: the end of the clip restarts it silently, so it plays in a loop.
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
        QTRY_VERIFY(delegate.frames().size() >= 3); // 20 frames a pass
        QCOMPARE(values<Error>(errors), QList<Error>{std::nullopt});
        QVERIFY(delegate.allBgrOnCameraThread());
    }
};

QTEST_GUILESS_MAIN(TestCamera)
#include "tst_camera.moc"
