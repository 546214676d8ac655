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
//
//   quorvel-camera-bench [--stream FILE.mjpeg] [--seconds 10] [--fps 30] [--size 320x240]
//   quorvel-camera-bench --give-way N [--stream FILE.mjpeg] [--fps 30] [--size 320x240]
//
// With --give-way it measures instead how soon the camera is let go when another program
// opens it (the recording stands in for the device node; this program opens it N times, each
// time after the camera has come back): from that open to the close of the camera, as the
// other program's inotify watch sees it. The grace period before coming back is skipped on
// a clock of the benchmark's own.
//
// Without a stream it writes one first. Prints one JSON object per line.

#include "camera/CameraManager.h"
#include "camera/StandInCamera.h"
#include "camera/V4L2FrameSource.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
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

// Opens the node as another program would, and times the camera's close after it.
int measureGiveWay(const QString& stream, double fps, int trials) {
    auto clock = std::make_shared<std::atomic<qint64>>(0);
    CameraManagerOptions options;
    options.makeFrameSource = [stream, fps]() -> std::unique_ptr<FrameSource> {
        QString ignored;
        return std::make_unique<V4L2FrameSource>(stream,
                                                 RecordedCamera::load(stream, fps, &ignored));
    };
    options.reopenInterval = std::chrono::milliseconds(10);
    options.clock = [clock] {
        return std::chrono::milliseconds(clock->load());
    };
    CameraManager manager(options);
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
        return times[std::min(times.size() - 1, std::size_t(q * double(times.size())))];
    };
    const QJsonObject line{{"mode", "give-way"},   {"trials", qint64(times.size())},
                           {"median_ms", at(0.5)}, {"p90_ms", at(0.9)},
                           {"p99_ms", at(0.99)},   {"max_ms", times.back()},
                           {"target_ms", 50}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return 0;
}

} // namespace

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
    });
    parser.process(app);

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
    if (parser.isSet("give-way")) {
        const int status =
            measureGiveWay(stream, fps, std::max(1, parser.value("give-way").toInt()));
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
        bool v4l2;
        bool withDelegate;
    };
    const Mode modes[] = {{"v4l2-libv4lconvert", true, true},
                          {"v4l2-grab-only", true, false},
                          {"opencv-imdecode", false, true}};
    int status = 0;
    for (const Mode& mode : modes) {
        CameraManagerOptions options;
        options.makeFrameSource = [&, mode]() -> std::unique_ptr<FrameSource> {
            if (!mode.v4l2) {
                return std::make_unique<ImdecodeSource>(frames, fps);
            }
            QString ignored;
            return std::make_unique<V4L2FrameSource>(stream,
                                                     RecordedCamera::load(stream, fps, &ignored));
        };
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
