#include "ScriptedCamera.h"
#include "camera/CameraDevices.h"
#include "camera/CameraManager.h"
#include "camera/CameraPermission.h"
#include "camera/V4L2FrameSource.h"
#include "support/ScriptedFrameSource.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
using Step = ScriptedCamera::Step;
using Quirks = ScriptedCamera::Quirks;
using Formats = std::vector<StandInCamera::Format>;
using Failures = std::vector<std::pair<unsigned long, int>>;

namespace {

// Records the number of each frame it is handed, and whether every frame was a BGR picture
// of the scripted colour (every pixel of it), of the size last seen, handed over on the camera
// thread.
class RecordingDelegate : public CameraFrameDelegate {
public:
    explicit RecordingDelegate(cv::Scalar expected = ScriptedCamera::colour) : colour(expected) {}
    void cameraManager(CameraManager& manager, const cv::Mat& frame) override {
        QMutexLocker lock(&mutex);
        frames.append(int(manager.frameCount()));
        cv::Mat difference;
        cv::absdiff(frame, colour, difference);
        allAsSent = allAsSent && frame.type() == CV_8UC3 && !frame.empty() &&
                    cv::norm(difference, cv::NORM_INF) < 12 &&
                    QThread::currentThread()->objectName() == "com.quorvel.camera";
        size = QSize(frame.cols, frame.rows);
    }
    template <typename T> T read(T RecordingDelegate::*field) const {
        QMutexLocker lock(&mutex);
        return this->*field;
    }
    const cv::Scalar colour;
    mutable QMutex mutex;
    QList<int> frames;
    bool allAsSent = true;
    QSize size;
};

// Monotonic time that only moves when the test moves it.
using TestClock = std::shared_ptr<std::atomic<qint64>>;
TestClock newClock() {
    return std::make_shared<std::atomic<qint64>>(0);
}

// A source that delivers nothing for `stallTimeout` counts as stopped; the default keeps an
// idle script from ever being taken for that. No node there, unless one is given (a file that
// a watch can see opened): the camera is watched by nobody.
CameraManagerOptions scripted(std::shared_ptr<VideoDeviceCalls> camera,
                              const TestClock& clock = newClock(),
                              std::chrono::milliseconds stallTimeout = 1h,
                              const QString& node = QStringLiteral("/nonexistent/video0")) {
    CameraManagerOptions options;
    options.makeFrameSource = [camera, node] {
        return std::make_unique<V4L2FrameSource>(node, camera);
    };
    options.reopenInterval = 10ms;
    options.stallTimeout = stallTimeout;
    options.clock = [clock] {
        return std::chrono::milliseconds(clock->load());
    };
    return options;
}

// Moves the clock on by `stepMs` at each look, a look every 50 ms, until `done`. The pace
// leaves a busy machine room to notice what changed before much time has passed.
bool advanceUntil(const TestClock& clock, const std::function<bool()>& done, qint64 stepMs = 250) {
    for (int waited = 0; waited < 15000; waited += 50) {
        if (done()) {
            return true;
        }
        *clock += stepMs;
        QTest::qWait(50);
    }
    return done();
}

// An empty file standing for a video node in `dir`, and a one-image recording there.
QString nodeIn(const TempFolder& dir) {
    writeFile(dir.path("video0"), {});
    return dir.path("video0");
}
QString recordingIn(const TempFolder& dir) {
    writeFile(dir.path("camera.mjpeg"),
              ScriptedCamera::jpeg(cv::Mat(48, 64, CV_8UC3, ScriptedCamera::colour)));
    return dir.path("camera.mjpeg");
}
// Another program's open of the node.
int openNode(const QString& node) {
    return ::open(QFile::encodeName(node).constData(), O_RDONLY | O_CLOEXEC);
}

template <typename T> QList<T> values(const QSignalSpy& spy) {
    QList<T> list;
    for (const auto& arguments : spy) {
        list.append(arguments.at(0).value<T>());
    }
    return list;
}

using Error = std::optional<QString>;

// A video node for the device list: its sysfs name, where its device sits ("usb fixed", "usb
// removable", "pci", "virtual"), and the camera behind it (none: the node cannot be opened).
struct Node {
    Node(QString n = {}, QString w = {}, Formats f = {}, Quirks q = {})
        : name(std::move(n)), where(std::move(w)), formats(std::move(f)), quirks(std::move(q)) {}
    QString name, where;
    Formats formats;
    Quirks quirks;
};

// Passes every call on to the camera `to()` names; `before` runs ahead of open, ioctl and mmap.
class Forwarding : public VideoDeviceCalls {
public:
    int open(const char* path, int flags) override { return before(), to().open(path, flags); }
    int close(int fd) override { return to().close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return before(), to().ioctl(fd, request, argument);
    }
    void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset) override {
        return before(), to().mmap(length, prot, flags, fd, offset);
    }
    int munmap(void* address, std::size_t length) override { return to().munmap(address, length); }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        return to().poll(fds, count, timeoutMs);
    }

protected:
    virtual VideoDeviceCalls& to() = 0;
    virtual void before() {}
};

// The nodes as libv4l2 shows them, each a scripted camera; one open at a time.
class NodeTable : public Forwarding {
public:
    std::map<QString, std::shared_ptr<ScriptedCamera>> nodes;

    int open(const char* path, int flags) override {
        const auto node = nodes.find(QString::fromLocal8Bit(path));
        if (node == nodes.end()) {
            errno = EACCES;
            return -1;
        }
        m_current = node->second;
        return m_current->open(path, flags);
    }

private:
    VideoDeviceCalls& to() override { return *m_current; }
    std::shared_ptr<ScriptedCamera> m_current;
};

// Forwards a camera's calls, and runs `before` once, ahead of the call numbered `at` (open,
// ioctl and mmap are counted from 0).
class StepHook : public Forwarding {
public:
    StepHook(std::shared_ptr<VideoDeviceCalls> inner, int at, std::function<void()> before)
        : m_inner(std::move(inner)), m_at(at), m_before(std::move(before)) {}
    int calls() const { return m_calls.load(); }

private:
    VideoDeviceCalls& to() override { return *m_inner; }
    void before() override {
        if (m_calls++ == m_at && m_before) {
            m_before();
        }
    }
    std::shared_ptr<VideoDeviceCalls> m_inner;
    const int m_at;
    std::function<void()> m_before;
    std::atomic<int> m_calls{0};
};

// Another program, a process of its own: opens a node when told, and then, when told, tries
// once to stream from it (an exclusive lock, what the recorded camera answers EBUSY for), as
// a browser does, never trying again.
class OtherProgram {
public:
    explicit OtherProgram(QByteArray path) : m_path(std::move(path)) {}
    ~OtherProgram() { end(); }
    // Closes the node and ends.
    void end() {
        if (m_pid > 0) {
            ::close(m_go[1]); // its last read ends: it exits
            ::waitpid(m_pid, nullptr, 0);
            ::close(m_told[0]);
            m_pid = -1;
        }
    }
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;

    // Returns once the node is open in the other process.
    void open() {
        if (::pipe2(m_go, O_CLOEXEC) != 0 || ::pipe2(m_told, O_CLOEXEC) != 0) {
            return;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A program of its own (exec'd): none of this process's descriptors, whose locks
            // it would otherwise share, go with it.
            ::dup2(m_go[0], STDIN_FILENO);
            ::dup2(m_told[1], STDOUT_FILENO);
            ::execl("/bin/sh", "sh", "-c",
                    "exec 3<\"$0\" && echo o && read -r x && "
                    "{ if flock -n 3; then echo s; else echo b; fi; read -r x; }",
                    m_path.constData(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(m_go[0]);
        ::close(m_told[1]);
        m_pid = pid;
        m_opened = said() == 'o';
    }
    bool opened() const { return m_opened.load(); }
    // Whether it got the right to stream.
    bool stream() { return ::write(m_go[1], "g\n", 2) == 2 && said() == 's'; }

private:
    // Its next line's first letter.
    char said() {
        char line[8] = {};
        const ssize_t n = ::read(m_told[0], line, sizeof line);
        return n > 0 ? line[0] : '\0';
    }
    QByteArray m_path;
    std::atomic<pid_t> m_pid{-1};
    int m_go[2] = {-1, -1};
    int m_told[2] = {-1, -1};
    std::atomic<bool> m_opened{false};
};

} // namespace

class TestCamera : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() {
        // Every camera thread ends once its manager is gone, and takes its source with it.
        QTRY_COMPARE(CameraManager::liveCameraThreads(), 0);
    }

    // Of the formats offered: MJPG, else YUYV, ...; of its sizes: the smallest one at least
    // 320x240, else the largest below; of its rates: 30 fps, else the slowest above, else the
    // fastest below (one frame in fifteen is then two analyses a second, or as near as it gets).
    void forwardsOneFrameInFifteen_data() {
        QTest::addColumn<Formats>("offered");
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<bool>("withDelegate");
        QTest::addColumn<QList<int>>("forwarded");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<quint32>("fps");
        const QList<Step> frames(45, Step::frame);
        const Formats mjpg{{V4L2_PIX_FMT_MJPEG, {{320, 240}}}};
        const auto row = [](const char* name, const Formats& offered, const QList<Step>& steps,
                            const QList<int>& forwarded, QSize size, quint32 fps) {
            QTest::newRow(name) << offered << steps << !size.isEmpty() << forwarded << size << fps;
        };
        row("UVC webcam: MJPG",
            {{V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}},
             {V4L2_PIX_FMT_MJPEG, {{1280, 720}, {640, 480}, {320, 240}, {160, 120}}, {60, 30}}},
            frames, {15, 30, 45}, {320, 240}, 30);
        row("YUYV, sizes only larger, 15 or 60 fps",
            {{V4L2_PIX_FMT_H264, {{320, 240}}},
             {V4L2_PIX_FMT_YUYV, {{1280, 720}, {640, 360}, {640, 480}}, {15, 60}}},
            frames, {15, 30, 45}, {640, 360}, 60);
        // Slower than 30 fps: a frame each half second, by the times the camera gives.
        row("sizes only smaller, 5 to 15 fps; EAGAIN, stall",
            {{V4L2_PIX_FMT_MJPEG, {{160, 120}, {176, 144}}, {5, 15, 10}}},
            frames.mid(0, 20) + // none of these is a frame
                QList<Step>{Step::eagain, Step::stall, Step::eagain} + frames.mid(20),
            {9, 17, 25, 33, 41}, {176, 144}, 15);
        row("only 5 fps", {{V4L2_PIX_FMT_YUYV, {{320, 240}}, {5}}}, frames,
            {4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40, 43}, {320, 240}, 5);
        QList<Step> damaged = frames;
        damaged[14] = Step::corrupt;
        row("15th MJPG corrupt: skipped, counted", mjpg, damaged, {30, 45}, {320, 240}, 30);
        row("no delegate", mjpg, frames, {}, {}, 30);
    }

    void forwardsOneFrameInFifteen() {
        QFETCH(Formats, offered);
        QFETCH(QList<Step>, steps);
        QFETCH(bool, withDelegate);
        QFETCH(QList<int>, forwarded);
        QFETCH(QSize, size);
        QFETCH(quint32, fps);
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
        QCOMPARE(camera->frameInterval().denominator / camera->frameInterval().numerator, fps);
        QTRY_COMPARE(values<bool>(running), QList<bool>{true});
        QCOMPARE(values<Error>(errors), QList<Error>{std::nullopt});
        QVERIFY(camera->maxPollTimeoutMs.load() <= 1000); // a stall is seen soon
    }

    // What faulty or unusual drivers answer, and what comes of it: the failure texts, no read
    // past a buffer's end (each ends against an unreadable page), no damaged picture passed on,
    // a word when no frame can be read, and a busy camera taken as an interruption that ends
    // when it is free.
    void driverAnswers_data() {
        QTest::addColumn<Formats>("offered");
        QTest::addColumn<Quirks>("quirks");
        QTest::addColumn<Failures>("failures");
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QList<int>>("forwarded");
        QTest::addColumn<QList<Error>>("errors");
        QTest::addColumn<cv::Scalar>("colour");
        const auto only = [](quint32 format) {
            return Formats{{format, {{320, 240}}}};
        };
        const Formats mjpg = only(V4L2_PIX_FMT_MJPEG);
        const QList<Step> frames(45, Step::frame);
        const QList<int> all{15, 30, 45};
        const QList<Error> fine{std::nullopt};
        const auto row = [&](const char* name, const Formats& formats, const QList<Step>& steps,
                             const QList<int>& forwarded, const QList<Error>& errors,
                             const Quirks& quirks = {}, const Failures& failures = {},
                             const cv::Scalar& colour = ScriptedCamera::colour) {
            QTest::newRow(name) << formats << quirks << failures << steps << forwarded << errors
                                << colour;
        };
        const auto withFifteenth = [&](Step step) {
            QList<Step> steps = frames;
            steps[14] = step;
            return steps;
        };
        row("only H264", only(V4L2_PIX_FMT_H264), frames, {},
            {CameraManager::cannotAddInputText() +
             ": it offers only H264, which Quorvel cannot read"});
        row("format refused", mjpg, frames, {}, {CameraManager::cannotAddOutputText()}, {},
            {{VIDIOC_S_FMT, EINVAL}});
        row("node missing", mjpg, frames, {}, {"Camera input error: No such file or directory"}, {},
            {{ScriptedCamera::openCall, ENOENT}});
        // Unreadable frames (buffers that carry nothing, four of them in a row passed on) are
        // said as such, with no reopening (the camera light stays on, steady); the first good
        // one ends it.
        const QList<Error> unreadable{std::nullopt, CameraManager::unreadableFramesText(),
                                      std::nullopt};
        for (const auto& [step, name] : {std::pair{Step::empty, "empty buffers"},
                                         std::pair{Step::greyJpeg, "one-channel JPEG"},
                                         std::pair{Step::largeJpeg, "JPEG larger than agreed"}}) {
            row(name, mjpg, QList<Step>(60, step) + QList<Step>(30, Step::frame), {75, 90},
                unreadable);
        }
        row("YUYV sizeimage half a frame: passed over for NV12",
            {{V4L2_PIX_FMT_YUYV, {{320, 240}}}, {V4L2_PIX_FMT_NV12, {{320, 240}}}}, frames, all,
            fine, {.halfSizeimage = V4L2_PIX_FMT_YUYV});
        row("NV12 buffers shorter than a frame: refused", only(V4L2_PIX_FMT_NV12), frames, {},
            {CameraManager::cannotAddOutputText()}, {.shortBuffers = V4L2_PIX_FMT_NV12});
        row("NV12 frame short of bytes: skipped", only(V4L2_PIX_FMT_NV12),
            withFifteenth(Step::truncated), {30, 45}, fine);
        row("MJPG cut short, no end marker: skipped", mjpg, withFifteenth(Step::truncated),
            {30, 45}, fine);
        row("MJPG cut short, end marker put back: skipped", mjpg,
            withFifteenth(Step::truncatedWithEnd), {30, 45}, fine);
        for (const auto& [format, name] : std::vector<std::pair<quint32, const char*>>{
                 {V4L2_PIX_FMT_NV12, "NV12, rows padded"},
                 {V4L2_PIX_FMT_YUV420, "YUV420, rows padded"},
                 {V4L2_PIX_FMT_GREY, "GREY, rows padded"},
                 {V4L2_PIX_FMT_RGB24, "RGB24, rows padded"},
                 {V4L2_PIX_FMT_BGR24, "BGR24, rows padded"}}) {
            row(name, only(format), frames, all, fine, {.rowPadding = 64}, {},
                format == V4L2_PIX_FMT_GREY ? cv::Scalar::all(ScriptedCamera::y)
                                            : ScriptedCamera::colour);
        }
        // Readable, then no buffer, again and again: a failure (restarted silently once, then
        // interrupted), not a spin.
        row("readable, then EAGAIN", mjpg,
            QList<Step>(20, Step::frame) +
                QList<Step>(2 * V4L2FrameSource::maxEmptyWakes, Step::eagain) +
                QList<Step>(45, Step::frame),
            {15, 30, 45, 60},
            {std::nullopt, CameraManager::failingPrefix() + "Input/output error", std::nullopt});
        // Each call of the first open failing once: busy waits for the camera; an error that
        // may pass is tried again; neither ends monitoring.
        for (const auto& [error, text] : std::vector<std::pair<int, QString>>{
                 {EBUSY, CameraManager::interruptedText()},
                 {EIO, CameraManager::failingPrefix() + "Input/output error"},
                 {EINTR, CameraManager::failingPrefix() + "Interrupted system call"},
                 {ETIMEDOUT, CameraManager::failingPrefix() + "Connection timed out"},
                 {ENODEV, CameraManager::disconnectedText()}}) {
            for (const auto& [call, name] : std::vector<std::pair<unsigned long, const char*>>{
                     {ScriptedCamera::openCall, "open"},
                     {VIDIOC_QUERYCAP, "capabilities"},
                     {VIDIOC_S_FMT, "format"},
                     {VIDIOC_S_PARM, "frame rate"},
                     {VIDIOC_REQBUFS, "buffer request"},
                     {VIDIOC_STREAMON, "stream-on"}}) {
                const QByteArray tag = QByteArray(strerrorname_np(error)) + " at " + name;
                row(tag.constData(), mjpg, frames, all, {text, std::nullopt}, {}, {{call, error}});
            }
        }
    }

    void driverAnswers() {
        QFETCH(Formats, offered);
        QFETCH(Quirks, quirks);
        QFETCH(Failures, failures);
        QFETCH(QList<Step>, steps);
        QFETCH(QList<int>, forwarded);
        QFETCH(QList<Error>, errors);
        QFETCH(cv::Scalar, colour);
        auto camera = std::make_shared<ScriptedCamera>(offered, quirks);
        camera->steps.assign(steps.begin(), steps.end());
        camera->failures.insert(failures.begin(), failures.end());
        const TestClock clock = newClock();
        RecordingDelegate delegate(colour);
        CameraManager manager(scripted(camera, clock));
        QSignalSpy errorSpy(&manager, &CameraManager::errorChanged);
        manager.setDelegate(&delegate);
        manager.start();
        // Time runs on while the test waits, so that a busy camera is tried again.
        QVERIFY(advanceUntil(
            clock,
            [&] {
                return values<Error>(errorSpy) == errors &&
                       delegate.read(&RecordingDelegate::frames) == forwarded;
            },
            5000));
        QVERIFY(delegate.read(&RecordingDelegate::allAsSent));
        if (forwarded.isEmpty()) { // given up: nothing left open
            QVERIFY(!camera->isOpen());
            QCOMPARE(camera->mappedBuffers(), 0);
        } else if (!failures.empty()) {
            QCOMPARE(camera->opens.load(), 2); // busy: nothing tried while it waited
        }
        if (steps.contains(Step::eagain)) {
            // Each empty wake waited a little longer than the one before.
            QCOMPARE(camera->waitsWithoutFrame.load(), 2 * (V4L2FrameSource::maxEmptyWakes - 1));
        }
    }

    // A camera that was delivering and fails is restarted without a word; when that fails
    // too it is interrupted, and looked for again until it delivers.
    void readFailures_data() {
        QTest::addColumn<int>("unplugs"); // ENODEV mid-stream after 20 frames; 0: frames stop
        QTest::addColumn<int>("failedOpens");
        QTest::addColumn<int>("opens");
        QTest::addColumn<QList<bool>>("running");
        QTest::addColumn<QString>("said"); // while interrupted
        const QList<bool> interrupted{true, false, true};
        const QString unplugged = CameraManager::disconnectedText();
        QTest::newRow("unplugged, back at once") << 1 << 0 << 2 << QList<bool>{true} << QString();
        QTest::newRow("unplugged, node gone for three tries")
            << 1 << 3 << 5 << interrupted << unplugged;
        QTest::newRow("unplugged again right after the restart")
            << 2 << 0 << 3 << interrupted << unplugged;
        QTest::newRow("frames stop coming")
            << 0 << 0 << -1 << interrupted << CameraManager::stalledText();
    }

    void readFailures() {
        QFETCH(int, unplugs);
        QFETCH(int, failedOpens);
        QFETCH(int, opens);
        QFETCH(QList<bool>, running);
        QFETCH(QString, said);
        auto camera = std::make_shared<ScriptedCamera>();
        camera->add(Step::frame, 20);
        camera->add(Step::unplug, unplugs);
        camera->goneAfterUnplug = failedOpens;
        camera->endless = unplugs > 0;
        RecordingDelegate delegate;
        CameraManager manager(scripted(camera, newClock(), 30ms));
        QSignalSpy runningSpy(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        manager.setDelegate(&delegate);
        manager.start();
        if (unplugs == 0) {
            QTRY_COMPARE(manager.error(), Error(said));
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
        const QList<Error> told = running.size() == 1
                                      ? QList<Error>{std::nullopt}
                                      : QList<Error>{std::nullopt, said, std::nullopt};
        QCOMPARE(values<Error>(errors), told);
    }

    // Stopping closes the camera; releasing the manager right after (before its queued "not
    // running" is delivered), or without stopping, does too, and nothing reaches the delegate
    // or the observers afterwards. The same while Quorvel waits for a busy camera: no attempt
    // follows.
    void stopAndRelease_data() {
        QTest::addColumn<bool>("waiting");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<bool>("release");
        for (const bool waiting : {false, true}) {
            const char* state = waiting ? "waiting for a busy camera" : "running";
            QTest::addRow("%s: stop", state) << waiting << true << false;
            QTest::addRow("%s: stop, then release", state) << waiting << true << true;
            QTest::addRow("%s: release only", state) << waiting << false << true;
        }
    }

    void stopAndRelease() {
        QFETCH(bool, waiting);
        QFETCH(bool, stop);
        QFETCH(bool, release);
        auto camera = std::make_shared<ScriptedCamera>();
        camera->endless = true;
        if (waiting) {
            camera->failures.insert({VIDIOC_STREAMON, EBUSY});
        }
        auto delegate = std::make_unique<RecordingDelegate>();
        auto manager = std::make_unique<CameraManager>(scripted(camera));
        QSignalSpy running(manager.get(), &CameraManager::isRunningChanged);
        int heard = 0;
        QObject receiver;
        connect(manager.get(), &CameraManager::objectWillChange, &receiver, [&] { ++heard; });
        manager->setDelegate(delegate.get());
        manager->start();
        if (waiting) {
            QTRY_COMPARE(manager->error(), Error(CameraManager::interruptedText()));
        } else {
            QTRY_VERIFY(delegate->read(&RecordingDelegate::frames).size() >= 1);
            QTRY_VERIFY(manager->isRunning());
        }
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
            const QList<bool> published{!waiting, false};
            QTRY_COMPARE(values<bool>(running), published);
            const qint64 frames = manager->frameCount();
            const int opens = camera->opens.load();
            QTest::qWait(50); // several retry intervals
            QCOMPARE(manager->frameCount(), frames);
            QCOMPARE(camera->opens.load(), opens);
        }
    }

    // Managers made and dropped one after another while their camera threads are busy reading
    // (a camera that answers every grab at once), some stopped or started again first: a drop's
    // shutdown can run, and its thread end, before the post that asked for it is back. None may
    // crash, and no thread or open camera is left.
    void managersComeAndGoWhileTheirThreadsAreBusy() {
        auto script = std::make_shared<FrameScript>();
        CameraManagerOptions options;
        options.makeFrameSource = [script]() -> std::unique_ptr<FrameSource> {
            return std::make_unique<ScriptedFrameSource>(script);
        };
        options.stallTimeout = std::chrono::hours(1);
        for (int round = 0; round < 3000; ++round) {
            auto manager = std::make_unique<CameraManager>(options);
            manager->start();
            for (int turn = 0; turn < round % 4; ++turn) {
                QCoreApplication::processEvents();
            }
            if (round % 3 == 0) {
                manager->stop();
            }
            if (round % 5 == 0) {
                manager->start();
            }
            manager.reset();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        QTRY_COMPARE(CameraManager::liveCameraThreads(), 0);
        QVERIFY(!script->read(&FrameScript::isOpen));
    }

    // Another program opens the camera Quorvel reads (the recorded camera's file node, watched
    // like a device), lists its formats, closes, opens again and streams, stops its stream to
    // change format and streams again, then closes: Quorvel closes the camera at once, stays
    // off it all the while, and comes back once it has been left alone for the grace period.
    void givesTheCameraToAnotherProgram() {
        TempFolder dir;
        const QString node = recordingIn(dir);
        const TestClock clock = newClock();
        CameraManagerOptions options = scripted({}, clock);
        // What the test sees: Quorvel's streams, as the recording notes them, and the closes of
        // the node.
        options.makeFrameSource =
            CameraManager::defaultFrameSourceFactory(node, dir.path("uses.log"));
        CameraManager manager(options);
        QSignalSpy running(&manager, &CameraManager::isRunningChanged);
        QSignalSpy errors(&manager, &CameraManager::errorChanged);
        const auto streams = [&] {
            return readFile(dir.path("uses.log")).count("open");
        };
        const auto quorvelStreamsMeanwhile = [&](qint64 advanceMs) {
            const qsizetype before = streams();
            *clock += advanceMs;
            QTest::qWait(100); // ten retry intervals
            return streams() - before;
        };
        const int closes = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(closes, QFile::encodeName(node).constData(), IN_CLOSE);

        manager.start();
        QTRY_VERIFY(manager.isRunning());
        char events[4096];
        while (::read(closes, events, sizeof events) > 0) {
        }
        const auto opened = std::chrono::steady_clock::now();
        int other = openNode(node); // to list the formats
        pollfd ourClose{closes, POLLIN, 0};
        QCOMPARE(::poll(&ourClose, 1, 2000), 1);
        const double gaveWayMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opened)
                .count();
        qInfo("camera closed %.2f ms after another program opened it", gaveWayMs);
        QVERIFY(gaveWayMs < 1000); // aimed at 50 ms; room for a busy machine
        QTRY_COMPARE(manager.error(), Error(CameraManager::interruptedText()));
        ::close(other);
        QCOMPARE(quorvelStreamsMeanwhile(2000), 0);

        other = openNode(node); // to stream
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        QCOMPARE(quorvelStreamsMeanwhile(60000), 0);
        QCOMPARE(::flock(other, LOCK_UN), 0); // stops to change format
        QCOMPARE(quorvelStreamsMeanwhile(60000), 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0); // and streams again: the camera is its own

        // It closes: the camera streams again once left alone for the grace period.
        const qint64 closed = clock->load();
        ::close(other);
        const qsizetype before = streams();
        QVERIFY(advanceUntil(clock, [&] { return streams() > before; }));
        const qint64 back = clock->load() - closed;
        qInfo("camera taken back %lld ms after the other program closed it", back);
        QVERIFY(back >= CameraManager::shareGracePeriod.count());
        QVERIFY(back <= CameraManager::shareGracePeriod.count() + 5000);
        QTRY_VERIFY(manager.isRunning());
        QCOMPARE(values<bool>(running), (QList<bool>{true, false, true}));
        QCOMPARE(values<Error>(errors),
                 (QList<Error>{std::nullopt, CameraManager::interruptedText(), std::nullopt}));
        ::close(closes);
    }

    // Another program opens the camera while Quorvel's own open is under way, before each of
    // its calls in turn (and in the first grabs after it): the kernel may merge that open with
    // Quorvel's own in the node's watch, so it is looked for in /proc too. Quorvel gives way
    // every time, and the other program, trying once to stream, gets the camera.
    void givesWayToAnOpenDuringItsOwn() {
        TempFolder dir;
        const QString node = recordingIn(dir);
        QString error;
        const std::shared_ptr<RecordedCamera> recording = RecordedCamera::load(node, 30, &error);
        QVERIFY2(recording, qPrintable(error));
        int sequence = 0;
        for (int at = 0; at < 48; ++at) {
            auto camera = recording->replay();
            // Held by the camera thread too, which may outlive this turn of the loop a little.
            auto program = std::make_shared<OtherProgram>(QFile::encodeName(node));
            OtherProgram& other = *program;
            auto calls = std::make_shared<StepHook>(camera, at, [program] { program->open(); });
            const TestClock clock = newClock();
            CameraManager manager(scripted(calls, clock, 1h, node));
            manager.start();
            QTRY_VERIFY2(other.opened() || manager.isRunning(), qPrintable(QString::number(at)));
            if (!other.opened()) { // the open sequence is over and frames come: enough
                QTRY_VERIFY(other.opened() || calls->calls() > at);
                if (!other.opened()) {
                    break;
                }
            }
            sequence = at;
            QTRY_VERIFY2(!camera->isOpen(), qPrintable(QStringLiteral("kept the camera when "
                                                                      "another program opened "
                                                                      "it before call %1")
                                                           .arg(at)));
            QTRY_COMPARE(manager.error(), Error(CameraManager::interruptedText()));
            QVERIFY2(other.stream(), qPrintable(QString::number(at)));
            *clock += 60000;
            QTest::qWait(50); // several retry intervals: the camera is the other program's
            QVERIFY(!camera->isOpen());
            other.end(); // before the next turn's Quorvel looks for holders
        }
        QVERIFY(sequence >= 20); // the whole open sequence was swept
    }

    // The camera is unplugged and plugged in again, and another program opens the new node
    // at once: it keeps the camera; Quorvel comes back once that program has closed it.
    void leavesAReplugedCameraToItsHolder() {
        TempFolder dir;
        const QString node = nodeIn(dir);
        auto camera = std::make_shared<ScriptedCamera>();
        camera->add(Step::frame, 20);
        camera->add(Step::unplug);
        camera->goneAfterUnplug = 1 << 30; // until the test plugs it in
        const TestClock clock = newClock();
        CameraManager manager(scripted(camera, clock, 1h, node));
        manager.start();
        QTRY_COMPARE(manager.error(), Error(CameraManager::disconnectedText()));
        QVERIFY(QFile::remove(node));
        nodeIn(dir);
        // A process of its own, as a real holder is: Quorvel looks for other programs' descriptors
        // when the kernel merges their open with its own, and would not see this one's.
        OtherProgram other(QFile::encodeName(node));
        other.open();
        QVERIFY(other.opened());
        const int opens = camera->opens.load();
        camera->goneAfterUnplug = 0;
        camera->endless = true;
        for (int look = 0; look < 6; ++look) { // a minute
            *clock += 10000;
            QTest::qWait(20);
            QVERIFY(!manager.isRunning());
        }
        // A retry already past its look at the holders as the holder opened may open the node
        // once, and gives way at once; no other.
        QVERIFY2(camera->opens.load() <= opens + 1,
                 qPrintable(QString::number(camera->opens.load() - opens)));
        other.end();
        QVERIFY(advanceUntil(
            clock, [&] { return manager.isRunning(); }, 1000));
    }

    // A program that /proc cannot show (another user's: an empty folder stands in for /proc)
    // opens the camera Quorvel reads. Where the driver counts the handles on the device, that
    // count keeps Quorvel off for as long as the program holds the camera; where it keeps none,
    // the open the watch saw, not yet closed, does; and where the driver says nobody holds the
    // camera, an open whose close the watch's count lost does not keep Quorvel away.
    // Otherwise, another program's look (an open closed again at once, as a browser lists the
    // formats) leaves the camera alone for the short grace period; a longer use, for the long
    // one.
    void waitsOutAnotherProgram_data() {
        QTest::addColumn<bool>("seenInProc");
        QTest::addColumn<int>("driverCount"); // the program's handles as the driver counts them
        QTest::addColumn<qint64>("heldMs");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<qint64>("graceMs"); // Quorvel back this long after, give or take 5 s
        const qint64 share = CameraManager::shareGracePeriod.count();
        QTest::newRow("unseen, counted by the driver")
            << false << 1 << qint64(600000) << true << share;
        QTest::newRow("unseen, no count, an open not closed")
            << false << -1 << qint64(50000) << true << share;
        QTest::newRow("unseen, a close the count lost")
            << false << 0 << qint64(0) << false << qint64(-1);
        QTest::newRow("a look") << true << -1 << qint64(0) << true
                                << qint64(CameraManager::briefLookGracePeriod.count());
        QTest::newRow("two seconds of use") << true << -1 << qint64(2000) << true << share;
    }
    void waitsOutAnotherProgram() {
        QFETCH(bool, seenInProc);
        QFETCH(int, driverCount);
        QFETCH(qint64, heldMs);
        QFETCH(bool, closes);
        QFETCH(qint64, graceMs);
        TempFolder dir;
        const QString node = nodeIn(dir);
        const QString noProcesses = dir.path("proc");
        QVERIFY(QDir().mkpath(noProcesses));
        auto camera = std::make_shared<ScriptedCamera>();
        camera->endless = true;
        camera->opensItsNode = true;
        camera->otherHandles = std::min(driverCount, 0);
        const TestClock clock = newClock();
        CameraManagerOptions options = scripted(camera, clock, 1h, node);
        if (!seenInProc) {
            options.processDirectory = noProcesses;
            options.makeFrameSource = [camera, node, noProcesses] {
                auto source = std::make_unique<V4L2FrameSource>(node, camera);
                source->setProcessDirectory(noProcesses);
                return source;
            };
        }
        CameraManager manager(options);
        manager.start();
        QTRY_VERIFY(manager.isRunning());
        int other = openNode(node);
        camera->otherHandles = driverCount;
        QTRY_COMPARE(manager.error(), Error(CameraManager::interruptedText()));
        const int streams = camera->streamStarts.load();
        for (qint64 held = 5000; held <= heldMs; held += 5000) {
            *clock += 5000;
            QTest::qWait(15); // a retry or two
            QVERIFY2(camera->streamStarts.load() == streams && !manager.isRunning(),
                     qPrintable(QStringLiteral("streamed %1 ms into the hold").arg(held)));
        }
        *clock += heldMs % 5000;
        if (closes) {
            ::close(std::exchange(other, -1));
            camera->otherHandles = std::min(driverCount, 0);
        }
        QTest::qWait(200); // the close is seen before time moves on
        const qint64 freed = clock->load();
        QVERIFY(advanceUntil(clock, [&] { return camera->streamStarts.load() > streams; }));
        const qint64 back = clock->load() - freed;
        // The bound leaves room for a busy machine, and still tells the short wait from the long.
        QVERIFY2(back >= graceMs &&
                     back <=
                         (graceMs < 0 ? CameraManager::shareGracePeriod.count() : graceMs) + 5000,
                 qPrintable(QString::number(back)));
        QTRY_VERIFY(manager.isRunning());
        if (other >= 0) {
            ::close(other);
        }
    }

    // The recording is looked through once, when the camera first starts, and then played
    // from its file a frame at a time, in order and round again, each start from the first
    // image; a file spoiled meanwhile gives damaged frames, as a failing camera does.
    void playsTheRecordingFromItsFile() {
        TempFolder dir;
        const QString node = dir.path("camera.mjpeg");
        const cv::Scalar other(200, 40, 120);
        writeFile(node, ScriptedCamera::jpeg(cv::Mat(48, 64, CV_8UC3, ScriptedCamera::colour)) +
                            ScriptedCamera::jpeg(cv::Mat(48, 64, CV_8UC3, other)));
        const FrameSourceFactory factory = CameraManager::defaultFrameSourceFactory(node);
        const auto play = [&](int frames) {
            const auto source = factory();
            auto* camera = static_cast<V4L2FrameSource*>(source.get());
            QList<cv::Scalar> seen;
            if (!camera || camera->open() != OpenStatus::opened) {
                return seen;
            }
            while (seen.size() < frames) {
                cv::Mat image;
                if (camera->grab() == GrabResult::frame) {
                    seen.append(camera->retrieve(image) ? cv::mean(image) : cv::Scalar::all(-1));
                }
            }
            return seen;
        };
        const auto near = [](const cv::Scalar& a, const cv::Scalar& b) {
            return cv::norm(a - b) < 8;
        };
        for (int start = 0; start < 2; ++start) {
            const QList<cv::Scalar> seen = play(3);
            QCOMPARE(seen.size(), 3);
            QVERIFY(near(seen[0], ScriptedCamera::colour) && near(seen[1], other) &&
                    near(seen[2], ScriptedCamera::colour));
        }
        writeFile(node, "no longer a recording");
        QCOMPARE(play(1), QList<cv::Scalar>{cv::Scalar::all(-1)});
    }

    // Images are found however the file's pieces fall, and an image inside an image (a
    // thumbnail) stays part of it.
    void findsTheImagesOfARecording() {
        const QByteArray start("\xFF\xD8\xFF", 3), end("\xFF\xD9", 2);
        const QByteArray junk("junk");
        const QByteArray thumbnail = start + QByteArray(100, 'x') + end;
        // The first image's end marker falls across the first piece's end (256 KiB).
        const QByteArray head = junk + start + thumbnail;
        const QByteArray first = start + thumbnail + QByteArray(262143 - head.size(), 'a') + end;
        const QByteArray second = start + QByteArray(10, 'b') + end;
        QBuffer buffer;
        buffer.setData(junk + first + second + start + "cut short");
        buffer.open(QIODevice::ReadOnly);
        const auto spans = RecordedCamera::jpegSpans(buffer);
        QCOMPARE(spans.size(), std::size_t(3));
        QCOMPARE(spans[0].offset, qint64(junk.size()));
        QCOMPARE(spans[0].length, qint64(first.size()));
        QCOMPARE(spans[1].length, qint64(second.size()));
        QCOMPARE(spans[2].length, qint64(12));
        QCOMPARE(RecordedCamera::splitJpegStream(first + second),
                 (std::vector<QByteArray>{first, second}));
    }

    // The camera is found as libv4l2 shows the nodes (its plugin serves multi-planar devices),
    // the machine's own preferred by what sysfs and the driver tell, and a camera that needs
    // libcamera is named as such.
    void choosesTheCamera_data() {
        QTest::addColumn<QList<Node>>("nodes");
        QTest::addColumn<int>("chosen"); // -1: none
        QTest::addColumn<Error>("message");
        const Quirks metadata{.caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING};
        const Formats nv12{{V4L2_PIX_FMT_NV12, {{320, 240}}}};
        const Formats grey{{V4L2_PIX_FMT_GREY, {{320, 240}}}};
        const Formats mjpg{{V4L2_PIX_FMT_MJPEG, {{320, 240}}}};
        QTest::newRow("built-in by sysfs before an earlier USB camera named so")
            << QList<Node>{{"Integrated Webcam", "usb removable", mjpg},
                           {"HD Camera", "usb fixed", mjpg}}
            << 1 << Error();
        QTest::newRow("multi-planar camera after a metadata node")
            << QList<Node>{{"Camera metadata", "pci", mjpg, metadata}, {"CSI camera", "pci", nv12}}
            << 1 << Error();
        QTest::newRow("loopback device after the real camera")
            << QList<Node>{{"OBS Virtual Camera", "virtual", mjpg, {.driver = "v4l2 loopback"}},
                           {"USB Camera", "usb removable", mjpg}}
            << 1 << Error();
        QTest::newRow("infrared after colour")
            << QList<Node>{{"Integrated IR Camera", "usb fixed", grey},
                           {"USB Camera", "usb removable", mjpg}}
            << 1 << Error();
        QTest::newRow("a node that cannot be asked comes last")
            << QList<Node>{{"", "usb fixed", {}}, {"USB Camera", "usb removable", mjpg}} << 1
            << Error();
        QTest::newRow("raw sensor for libcamera")
            << QList<Node>{{"Intel IPU6 ISYS Capture 0",
                            "pci",
                            Formats{{V4L2_PIX_FMT_SGRBG10, {{1932, 1092}}}},
                            {.caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_IO_MC}}}
            << 0 << Error(CameraManager::needsLibcameraText());
        QTest::newRow("nothing captures")
            << QList<Node>{{"Camera metadata", "pci", mjpg, metadata}} << -1 << Error();
    }

    void choosesTheCamera() {
        QFETCH(QList<Node>, nodes);
        QFETCH(int, chosen);
        QFETCH(Error, message);
        TempFolder root;
        auto table = std::make_shared<NodeTable>();
        QDir(root.path()).mkpath("dev");
        for (int i = 0; i < nodes.size(); ++i) {
            const Node& node = nodes[i];
            const QString name = QStringLiteral("video%1").arg(i);
            writeFile(root.path("dev/" + name), {});
            // sysfs: the class entry's name and its link into the device tree, where a USB
            // device tells whether its port is fixed or removable.
            const QString device =
                root.path(QStringLiteral("devices/%1/%2").arg(node.where).arg(i));
            QDir().mkpath(device + "/interface");
            if (node.where.startsWith("usb ")) {
                writeFile(device + "/removable", node.where.mid(4).toLatin1());
            }
            QDir().mkpath(root.path("class/" + name));
            writeFile(root.path("class/" + name + "/name"), node.name.toUtf8());
            QFile::link(device + "/interface", root.path("class/" + name + "/device"));
            if (!node.formats.empty()) {
                table->nodes[root.path("dev/" + name)] =
                    std::make_shared<ScriptedCamera>(node.formats, node.quirks);
            }
        }
        const std::vector<CameraDevice> devices =
            listCameraDevices(root.path("dev"), root.path("class"), table);
        const auto choice = chooseCameraDevice(devices);
        QCOMPARE(choice ? choice->path : QString(),
                 chosen < 0 ? QString() : root.path(QStringLiteral("dev/video%1").arg(chosen)));
        if (choice) {
            V4L2FrameSource source(choice->path, table);
            const OpenStatus opened = source.open();
            QCOMPARE(CameraManager::openFailureText(opened, source.errorDescription()), message);
        }
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
        CameraPermission::request(this, record, {dev.path(), open, false});
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE(answers, QList<bool>{isAuthorized(expected)});
        auto gone = std::make_unique<QObject>();
        CameraPermission::request(gone.get(), record, {dev.path(), open, false});
        gone.reset();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QCOMPARE(answers.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCamera)
#include "tst_camera.moc"
