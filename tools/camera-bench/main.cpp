// quorvel-camera-bench: what the capture loop costs in CPU time.
//
// Plays a Motion-JPEG stream (JPEG images one after another) as a webcam at a frame rate, and
// measures the process's CPU time per second of wall time (getrusage) while CameraManager
// reads it, one mode after another over the same stream:
//
//   v4l2-libv4lconvert  how Quorvel reads a camera: through V4L2FrameSource, every frame
//                       dequeued and queued again, one in fifteen converted by libv4lconvert
//                       (the camera is RecordedCamera, behind the same system-call seam)
//   v4l2-grab-only      the same without a delegate: no frame converted
//   opencv-imdecode     the loop before it: each frame taken, one in fifteen decoded by
//                       OpenCV (cv::imdecode, as OpenCV's V4L2 reader decodes Motion-JPEG)
//   pipewire            reading the session's PipeWire camera instead (PipeWireFrameSource),
//                       one frame in fifteen decoded; not among the default modes, as it
//                       needs a session with a camera (scripts/camera-bench-pipewire.sh makes
//                       one). With --call, another program (this one, started anew) reads
//                       every frame of the same camera meanwhile, as a video call does; its
//                       frames are counted, its CPU time is not.
//
//   quorvel-camera-bench [--stream FILE.mjpeg] [--seconds 10] [--fps 30] [--size 320x240]
//                        [--modes MODE,...] [--call]
//   quorvel-camera-bench --give-way N [--stream FILE.mjpeg] [--fps 30] [--size 320x240]
//   quorvel-camera-bench --race N [--stream FILE.mjpeg] [--fps 30] [--size 320x240]
//   quorvel-camera-bench --listing-every S [--stream FILE.mjpeg]
//
// With --give-way it measures instead how soon the camera is let go when another program
// opens it (the recording stands in for the device node; this program opens it N times, each
// time after the camera has come back): from that open to the close of the camera, as the
// other program's inotify watch sees it. The grace period before coming back is skipped on
// a clock of the benchmark's own.
//
// With --race N, another program (this one, started anew with --hold) opens the node N
// times at a random moment within 30 ms of Quorvel being let back to the camera: before,
// during or after its own open, format and stream-on. 50 ms after its open it tries once to
// take the stream, as a browser does, never trying again; a steal is a try that finds the
// stream still Quorvel's. Prints the steals, how often Quorvel let go and how soon (that open
// to Quorvel's close), and how often it saw the holder and did not open at all.
//
// Without a stream it writes one first. Prints one JSON object per line.

#include "camera/CameraManager.h"
#include "camera/StandInCamera.h"
#include "camera/V4L2FrameSource.h"
#include "camera/pipewire/PipeWireFrameSource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <poll.h>
#include <random>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace quorvel;

namespace {

std::atomic<qint64> forwardedFrames{0};

class CountingDelegate : public CameraFrameDelegate {
public:
    void cameraManager(CameraManager&, const cv::Mat&) override { ++forwardedFrames; }
};

// The old loop's reading: the compressed frames at the frame rate, decoded by OpenCV when
// passed on.
class ImdecodeSource : public FrameSource {
public:
    ImdecodeSource(std::vector<QByteArray> frames, double fps)
        : m_frames(std::move(frames)),
          m_period(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(1.0 / fps))) {}
    OpenStatus open() override {
        m_due = std::chrono::steady_clock::now() + m_period;
        return OpenStatus::opened;
    }
    GrabResult grab() override {
        std::this_thread::sleep_until(m_due);
        m_due += m_period;
        m_current = (m_current + 1) % m_frames.size();
        return GrabResult::frame;
    }
    bool retrieve(cv::Mat& image) override {
        const QByteArray& bytes = m_frames[m_current];
        image = cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8U, const_cast<char*>(bytes.data())),
                             cv::IMREAD_COLOR);
        return !image.empty();
    }
    void close() override {}
    QString errorDescription() const override { return {}; }

private:
    std::vector<QByteArray> m_frames;
    std::chrono::steady_clock::duration m_period;
    std::chrono::steady_clock::time_point m_due;
    std::size_t m_current = 0;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void waitFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool writeStream(const QString& path, cv::Size size, int frames) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    cv::RNG rng(7);
    cv::Mat frame(size, CV_8UC3);
    cv::Mat noise(size, CV_8UC3);
    std::vector<uchar> jpeg;
    for (int i = 0; i < frames; ++i) {
        // A lit, moving scene with some sensor noise, so that each frame compresses like a
        // camera picture rather than a flat colour.
        for (int y = 0; y < size.height; ++y) {
            auto* row = frame.ptr<cv::Vec3b>(y);
            for (int x = 0; x < size.width; ++x) {
                row[x] = cv::Vec3b(static_cast<uchar>((x + 2 * i) % 256),
                                   static_cast<uchar>((y * 2 + i) % 256),
                                   static_cast<uchar>((x + y) / 4 % 256));
            }
        }
        const cv::Point centre(size.width / 2 + static_cast<int>(40 * std::sin(i * 0.1)),
                               size.height / 2);
        cv::circle(frame, centre, size.height / 4, cv::Scalar(60, 120, 200), cv::FILLED);
        cv::rectangle(frame, {centre.x - size.width / 5, centre.y + size.height / 5},
                      {centre.x + size.width / 5, size.height}, cv::Scalar(90, 60, 40), cv::FILLED);
        rng.fill(noise, cv::RNG::NORMAL, 0, 6);
        cv::add(frame, noise, frame);
        cv::imencode(".jpg", frame, jpeg, {cv::IMWRITE_JPEG_QUALITY, 85});
        file.write(reinterpret_cast<const char*>(jpeg.data()), qint64(jpeg.size()));
    }
    return true;
}

// The q-quantile of sorted times (0 when there are none).
double percentile(const std::vector<double>& sorted, double q) {
    return sorted.empty()
               ? 0.0
               : sorted[std::min(sorted.size() - 1, std::size_t(q * double(sorted.size())))];
}

// The recording played as a camera, on a clock the benchmark moves: the grace periods pass
// when it says so.
CameraManagerOptions recordedCamera(const QString& stream, double fps,
                                    const std::shared_ptr<std::atomic<qint64>>& clock,
                                    std::chrono::milliseconds reopenInterval) {
    CameraManagerOptions options;
    options.makeFrameSource = [stream, fps]() -> std::unique_ptr<FrameSource> {
        QString ignored;
        return std::make_unique<V4L2FrameSource>(stream,
                                                 RecordedCamera::load(stream, fps, &ignored));
    };
    options.reopenInterval = reopenInterval;
    options.clock = [clock] {
        return std::chrono::milliseconds(clock->load());
    };
    return options;
}

// Opens the node as another program would, and times the camera's close after it.
int measureGiveWay(const QString& stream, double fps, int trials) {
    auto clock = std::make_shared<std::atomic<qint64>>(0);
    CameraManager manager(recordedCamera(stream, fps, clock, std::chrono::milliseconds(10)));
    const QByteArray node = QFile::encodeName(stream);
    const int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, node.constData(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    const auto running = [&] {
        QElapsedTimer waited;
        waited.start();
        while (!manager.isRunning() && waited.elapsed() < 10000) {
            *clock += CameraManager::shareGracePeriod.count();
            waitFor(10);
        }
        return manager.isRunning();
    };
    std::vector<double> times;
    manager.start();
    for (int trial = 0; trial < trials && running(); ++trial) {
        waitFor(100); // a few frames
        char buffer[4096];
        pollfd pending{watch, POLLIN, 0};
        while (::poll(&pending, 1, 0) > 0 && ::read(watch, buffer, sizeof buffer) > 0) {
        }
        QElapsedTimer timer;
        timer.start();
        const int other = ::open(node.constData(), O_RDONLY | O_CLOEXEC);
        pollfd closed{watch, POLLIN, 0};
        const bool seen = ::poll(&closed, 1, 5000) > 0;
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        ::close(other);
        while (seen && manager.isRunning()) {
            waitFor(1); // the interruption reaches this thread
        }
        if (!seen) {
            std::fprintf(stderr, "quorvel-camera-bench: the camera was not let go\n");
            return 1;
        }
    }
    manager.stop();
    ::close(watch);
    if (times.empty()) {
        std::fprintf(stderr, "quorvel-camera-bench: %s\n",
                     qPrintable(manager.error().value_or("camera did not start")));
        return 1;
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return percentile(times, q);
    };
    const QJsonObject line{{"mode", "give-way"},   {"trials", qint64(times.size())},
                           {"median_ms", at(0.5)}, {"p90_ms", at(0.9)},
                           {"p99_ms", at(0.99)},   {"max_ms", times.back()},
                           {"target_ms", 50}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return 0;
}

std::int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The other program of --race: opens the node when told ("o" on stdin), says when (its
// monotonic time in ns), tries once to take the stream 50 ms later (the recorded camera's
// claim, an exclusive lock) and says whether it got it ("s") or found it busy ("b"), then
// holds the node until stdin ends.
int holdNode(const QString& node) {
    std::printf("r\n"); // ready
    std::fflush(stdout);
    char line[8];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return 1;
    }
    const int fd = ::open(QFile::encodeName(node).constData(), O_RDWR | O_CLOEXEC);
    std::printf("%lld\n", static_cast<long long>(monotonicNs()));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("%s\n", fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? "s" : "b");
    std::fflush(stdout);
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
    }
    return 0;
}

// The node's opens and closes by anyone, each with the monotonic time it was read at.
class NodeEvents {
public:
    explicit NodeEvents(const QByteArray& node) : m_fd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        inotify_add_watch(m_fd, node.constData(), IN_OPEN | IN_CLOSE);
        m_reader = std::thread([this] { read(); });
    }
    ~NodeEvents() {
        m_done = true;
        m_reader.join();
        ::close(m_fd);
    }
    NodeEvents(const NodeEvents&) = delete;
    NodeEvents& operator=(const NodeEvents&) = delete;
    // The first close read at or after `since`.
    std::optional<std::int64_t> closeAfter(std::int64_t since) {
        std::lock_guard lock(m_mutex);
        for (std::int64_t at : m_closes) {
            if (at >= since) {
                return at;
            }
        }
        return std::nullopt;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_closes.clear();
    }

private:
    void read() {
        alignas(inotify_event) char buffer[4096];
        while (!m_done) {
            pollfd ready{m_fd, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) {
                continue;
            }
            const std::int64_t at = monotonicNs();
            const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                if ((event->mask & IN_CLOSE) != 0) {
                    std::lock_guard lock(m_mutex);
                    m_closes.push_back(at);
                }
                offset += ssize_t(sizeof(inotify_event)) + ssize_t(event->len);
            }
        }
    }
    const int m_fd;
    std::atomic<bool> m_done{false};
    std::mutex m_mutex;
    std::vector<std::int64_t> m_closes;
    std::thread m_reader;
};

// A child process running holdNode(), talked to through its stdin and stdout.
class Holder {
public:
    explicit Holder(const QString& node) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
        const QByteArray path = QFile::encodeName(node);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(program.constData(), program.constData(), "--hold", path.constData(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_tell = ::fdopen(in[1], "w");
        m_hear = ::fdopen(out[0], "r");
        char ready[8];
        m_ready = std::fgets(ready, sizeof ready, m_hear) != nullptr;
    }
    ~Holder() {
        if (m_tell != nullptr) {
            std::fclose(m_tell);
        }
        if (m_pid > 0) {
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_hear != nullptr) {
            std::fclose(m_hear);
        }
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    // Opens the node now; returns when, and whether it then got the stream.
    std::optional<std::pair<std::int64_t, bool>> openAndStream() {
        char line[32];
        if (!m_ready || m_tell == nullptr || std::fputs("o\n", m_tell) < 0 ||
            std::fflush(m_tell) != 0 || std::fgets(line, sizeof line, m_hear) == nullptr) {
            return std::nullopt;
        }
        const std::int64_t opened = std::atoll(line);
        if (std::fgets(line, sizeof line, m_hear) == nullptr) {
            return std::nullopt;
        }
        return std::make_pair(opened, line[0] == 's');
    }

private:
    pid_t m_pid = -1;
    bool m_ready = false;
    FILE* m_tell = nullptr;
    FILE* m_hear = nullptr;
};

int measureRacingOpens(const QString& stream, double fps, int trials) {
    auto clock = std::make_shared<std::atomic<qint64>>(0);
    CameraManager manager(recordedCamera(stream, fps, clock, std::chrono::milliseconds(10)));
    NodeEvents events(QFile::encodeName(stream));
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> moment(0, 30000); // microseconds
    std::vector<double> times;
    int steals = 0;
    int keptOff = 0;
    manager.start();
    waitFor(200);
    for (int trial = 0; trial < trials; ++trial) {
        Holder other(stream); // started, and waiting to be told
        events.clear();
        // Let Quorvel back: its next look (every 10 ms) finds the grace period over.
        *clock += CameraManager::shareGracePeriod.count() + 1000;
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        const auto result = other.openAndStream();
        if (!result) {
            std::fprintf(stderr, "quorvel-camera-bench: the other program did not answer\n");
            return 1;
        }
        steals += result->second ? 0 : 1;
        if (const auto closed = events.closeAfter(result->first)) {
            times.push_back(double(*closed - result->first) / 1e6);
        } else {
            ++keptOff;
        }
        waitFor(5); // the interruption reaches this thread
    }
    manager.stop();
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return percentile(times, q);
    };
    const QJsonObject line{{"mode", "racing-opens"},
                           {"trials", trials},
                           {"steals", steals},
                           {"let_go", qint64(times.size())},
                           {"not_opened_beside_it", keptOff},
                           {"median_ms", at(0.5)},
                           {"p99_ms", at(0.99)},
                           {"max_ms", times.empty() ? 0.0 : times.back()},
                           {"target_ms", 50}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return steals == 0 ? 0 : 1;
}

// A program that lists the camera's formats every `every` (opens and closes the node at
// once, as a browser or a device monitor does) for a minute, on the benchmark's clock, which
// runs ten times as fast as the wall clock: how long Quorvel had the camera streaming, and how
// often it opened it. Analysis runs about twice a second while it streams.
int measureListings(const QString& stream, double fps, std::chrono::milliseconds every) {
    auto clock = std::make_shared<std::atomic<qint64>>(0);
    // Looked at every 2 s of the benchmark's clock, as the app does.
    CameraManager manager(recordedCamera(stream, fps, clock, std::chrono::milliseconds(200)));
    manager.start();
    waitFor(200);
    const QByteArray node = QFile::encodeName(stream);
    constexpr qint64 step = 100;
    qint64 streaming = 0;
    int starts = 0;
    bool wasRunning = manager.isRunning();
    for (qint64 at = 0; at < 60000; at += step) {
        if (at % every.count() == 0) {
            ::close(::open(node.constData(), O_RDWR | O_CLOEXEC));
        }
        waitFor(int(step / 10));
        *clock += step;
        const bool running = manager.isRunning();
        streaming += running ? step : 0;
        starts += running && !wasRunning ? 1 : 0;
        wasRunning = running;
    }
    manager.stop();
    const QJsonObject line{{"mode", "listings"},
                           {"listing_every_s", double(every.count()) / 1000.0},
                           {"minute_streaming_s", double(streaming) / 1000.0},
                           {"analysed_frames_about", qint64(streaming / 500)},
                           {"camera_starts", starts}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return 0;
}

} // namespace

// Be the call: read every frame of the session's PipeWire camera for `seconds`, decoding
// none, and print how many came.
int readAsCall(double seconds) {
    PipeWireFrameSource call(cv::Size(1280, 720));
    if (call.open() != OpenStatus::opened) {
        std::fprintf(stderr, "quorvel-camera-bench: the call: %s\n",
                     qPrintable(call.errorDescription()));
        return 1;
    }
    QElapsedTimer wall;
    wall.start();
    qint64 frames = 0;
    while (wall.elapsed() < seconds * 1000) {
        const GrabResult r = call.grab();
        if (r == GrabResult::failed) {
            break;
        }
        frames += r == GrabResult::frame ? 1 : 0;
    }
    std::printf("%lld %s\n", static_cast<long long>(frames), qPrintable(call.formatDescription()));
    return 0;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("CPU cost of Quorvel's camera capture loop");
    parser.addHelpOption();
    parser.addOptions({
        {"stream",
         "Motion-JPEG stream to play; written first if missing (default: one in a "
         "temporary folder).",
         "file"},
        {"seconds", "Measuring time per mode.", "seconds", "10"},
        {"fps", "Frame rate to play at.", "fps", "30"},
        {"size", "Size of the generated stream.", "WxH", "320x240"},
        {"give-way", "Measure instead how soon the camera is let go, over N opens.", "N"},
        {"race", "Measure instead steals and letting go over N opens racing Quorvel's own.", "N"},
        {"hold", "(Used by --race: be the other program, holding this node.)", "node"},
        {"listing-every",
         "Measure instead the minute of a program that lists the formats every S seconds.", "S"},
        {"modes", "Modes to measure, comma-separated.", "modes",
         "v4l2-libv4lconvert,v4l2-grab-only,opencv-imdecode"},
        {"call", "In the pipewire mode, another program reads every frame meanwhile."},
        {"read-as-call", "(Used by --call: be the call, reading for S seconds.)", "S"},
    });
    parser.process(app);
    if (parser.isSet("hold")) {
        return holdNode(parser.value("hold"));
    }
    if (parser.isSet("read-as-call")) {
        return readAsCall(parser.value("read-as-call").toDouble());
    }

    const double fps = parser.value("fps").toDouble();
    const int seconds = parser.value("seconds").toInt();
    const QStringList size = parser.value("size").split('x');
    const cv::Size streamSize(size.value(0).toInt(), size.value(1).toInt());
    if (fps <= 0 || seconds <= 0 || streamSize.area() <= 0) {
        std::fprintf(stderr, "quorvel-camera-bench: bad --fps, --seconds or --size\n");
        return 2;
    }

    QTemporaryDir scratch;
    QString stream = parser.value("stream");
    if (stream.isEmpty()) {
        stream = scratch.filePath("camera-bench.mjpeg");
    }
    if (!QFileInfo::exists(stream) && !writeStream(stream, streamSize, 300)) {
        std::fprintf(stderr, "quorvel-camera-bench: cannot write %s\n", qPrintable(stream));
        return 1;
    }
    QString error;
    if (!RecordedCamera::load(stream, fps, &error)) {
        std::fprintf(stderr, "quorvel-camera-bench: %s\n", qPrintable(error));
        return 1;
    }
    if (parser.isSet("give-way") || parser.isSet("race") || parser.isSet("listing-every")) {
        const int status =
            parser.isSet("listing-every")
                ? measureListings(stream, fps,
                                  std::chrono::milliseconds(std::max(
                                      100, int(parser.value("listing-every").toDouble() * 1000))))
            : parser.isSet("race")
                ? measureRacingOpens(stream, fps, std::max(1, parser.value("race").toInt()))
                : measureGiveWay(stream, fps, std::max(1, parser.value("give-way").toInt()));
        while (CameraManager::liveCameraThreads() > 0) {
            waitFor(10);
        }
        return status;
    }
    QFile file(stream);
    file.open(QIODevice::ReadOnly);
    const std::vector<QByteArray> frames = RecordedCamera::splitJpegStream(file.readAll());

    struct Mode {
        const char* name;
        enum { v4l2, imdecode, pipewire } source;
        bool withDelegate;
    };
    const Mode known[] = {{"v4l2-libv4lconvert", Mode::v4l2, true},
                          {"v4l2-grab-only", Mode::v4l2, false},
                          {"opencv-imdecode", Mode::imdecode, true},
                          {"pipewire", Mode::pipewire, true}};
    std::vector<Mode> modes;
    for (const QString& name : parser.value("modes").split(',', Qt::SkipEmptyParts)) {
        const auto mode = std::find_if(std::begin(known), std::end(known), [&](const Mode& m) {
            return name == QLatin1String(m.name);
        });
        if (mode == std::end(known)) {
            std::fprintf(stderr, "quorvel-camera-bench: no mode %s\n", qPrintable(name));
            return 2;
        }
        modes.push_back(*mode);
    }
    int status = 0;
    for (const Mode& mode : modes) {
        CameraManagerOptions options;
        options.makeFrameSource = [&, mode]() -> std::unique_ptr<FrameSource> {
            if (mode.source == Mode::imdecode) {
                return std::make_unique<ImdecodeSource>(frames, fps);
            }
            if (mode.source == Mode::pipewire) {
                return std::make_unique<PipeWireFrameSource>();
            }
            QString ignored;
            return std::make_unique<V4L2FrameSource>(stream,
                                                     RecordedCamera::load(stream, fps, &ignored));
        };
        QProcess call;
        if (mode.source == Mode::pipewire && parser.isSet("call")) {
            call.start(QCoreApplication::applicationFilePath(),
                       {"--read-as-call", QString::number(seconds + 1)});
        }
        CountingDelegate delegate;
        CameraManager manager(options);
        if (mode.withDelegate) {
            manager.setDelegate(&delegate);
        }
        manager.start();
        waitFor(500); // open and settle
        if (!manager.isRunning()) {
            std::fprintf(stderr, "quorvel-camera-bench: %s\n",
                         qPrintable(manager.error().value_or("camera did not start")));
            return 1;
        }
        const qint64 frames0 = manager.frameCount();
        const qint64 forwarded0 = forwardedFrames.load();
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        waitFor(seconds * 1000);
        const double cpu = cpuSeconds() - cpu0;
        const double elapsed = static_cast<double>(wall.nsecsElapsed()) / 1e9;
        const qint64 grabbed = manager.frameCount() - frames0;
        manager.stop();

        QJsonObject line{
            {"mode", mode.name},
            {"stream", stream},
            {"size", QStringLiteral("%1x%2").arg(streamSize.width).arg(streamSize.height)},
            {"fps", fps},
            {"seconds", elapsed},
            {"frames_grabbed", grabbed},
            {"frames_forwarded", forwardedFrames.load() - forwarded0},
            {"grab_fps", static_cast<double>(grabbed) / elapsed},
            {"cpu_ms_per_s", 1000.0 * cpu / elapsed},
            {"cpu_percent_of_core", 100.0 * cpu / elapsed},
        };
        if (mode.source == Mode::pipewire) {
            line.insert("stream", "the session's PipeWire camera");
            line.remove("size");
        }
        if (call.state() != QProcess::NotRunning) {
            // The call's frames over its whole read, a little longer than the measurement.
            call.waitForFinished(30000);
            const QStringList said =
                QString::fromUtf8(call.readAllStandardOutput()).trimmed().split(' ');
            line.insert("call_frames", said.value(0).toLongLong());
            line.insert("call_seconds", seconds + 1);
            line.insert("call_format", said.mid(1).join(' '));
        }
        std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        if (grabbed < fps * elapsed * 0.8) {
            status = 1; // could not keep the frame rate
        }
    }
    // Let the camera threads finish.
    while (CameraManager::liveCameraThreads() > 0) {
        waitFor(10);
    }
    return status;
}
