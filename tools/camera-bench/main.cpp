// quorvel-camera-bench: what the capture loop costs in CPU time.
//
// Plays a Motion-JPEG video at a camera's frame rate through CameraManager and measures the
// process's CPU time per second of wall time (getrusage) in three ways: grabbing every frame
// and decoding one in fifteen (how Quorvel runs), grabbing and decoding every frame, and
// grabbing without decoding at all. With OpenCV's own MJPEG reader a grab only takes the
// compressed frame and a retrieve decodes it, as with a V4L2 camera sending MJPEG.
//
//   quorvel-camera-bench [--video FILE.avi] [--seconds 10] [--fps 30] [--size 320x240]
//                        [--reader mjpeg|ffmpeg]
//
// Without a video file it writes a test clip first. Prints one JSON object per line.

#include "camera/CameraManager.h"
#include "camera/FileFrameSources.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sys/resource.h>

using namespace quorvel;

namespace {

std::atomic<qint64> decodedFrames{0};
std::atomic<qint64> forwardedFrames{0};

// Counts the decodes of the source it wraps; with `decodeEveryFrame` it decodes each frame
// as it is grabbed (and hands that image out when asked).
class DecodeCounter : public FrameSource {
public:
    DecodeCounter(std::unique_ptr<FrameSource> inner, bool decodeEveryFrame)
        : m_inner(std::move(inner)), m_decodeEveryFrame(decodeEveryFrame) {}

    OpenStatus open() override { return m_inner->open(); }
    GrabResult grab() override {
        const GrabResult result = m_inner->grab();
        m_decoded.release();
        if (result == GrabResult::frame && m_decodeEveryFrame) {
            decode(m_decoded);
        }
        return result;
    }
    bool retrieve(cv::Mat& image) override {
        if (m_decodeEveryFrame) {
            image = m_decoded;
            return !image.empty();
        }
        return decode(image);
    }
    void close() override { m_inner->close(); }
    QString errorDescription() const override { return m_inner->errorDescription(); }

private:
    bool decode(cv::Mat& image) {
        ++decodedFrames;
        return m_inner->retrieve(image);
    }

    std::unique_ptr<FrameSource> m_inner;
    bool m_decodeEveryFrame;
    cv::Mat m_decoded;
};

class CountingDelegate : public CameraFrameDelegate {
public:
    void cameraManager(CameraManager&, const cv::Mat&) override { ++forwardedFrames; }
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

bool writeClip(const QString& path, cv::Size size, double fps, int frames) {
    // FFmpeg's encoder when there is one: OpenCV's own MJPEG writer makes frames that its
    // reader sometimes finds truncated.
    cv::VideoWriter writer;
    for (const int api : {cv::CAP_FFMPEG, cv::CAP_OPENCV_MJPEG}) {
        if (writer.open(path.toStdString(), api, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps,
                        size)) {
            break;
        }
    }
    if (!writer.isOpened()) {
        return false;
    }
    cv::RNG rng(7);
    cv::Mat frame(size, CV_8UC3);
    cv::Mat noise(size, CV_8UC3);
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
        writer.write(frame);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("CPU cost of Quorvel's camera capture loop");
    parser.addHelpOption();
    parser.addOptions({
        {"video",
         "Motion-JPEG .avi to play; written first if missing (default: a clip in a "
         "temporary folder).",
         "file"},
        {"seconds", "Measuring time per mode.", "seconds", "10"},
        {"fps", "Frame rate to play at.", "fps", "30"},
        {"size", "Size of the generated clip.", "WxH", "320x240"},
        {"reader", "OpenCV reader: mjpeg (decode in retrieve) or ffmpeg.", "name", "mjpeg"},
    });
    parser.process(app);

    const double fps = parser.value("fps").toDouble();
    const int seconds = parser.value("seconds").toInt();
    const QStringList size = parser.value("size").split('x');
    const cv::Size clipSize(size.value(0).toInt(), size.value(1).toInt());
    const int reader = parser.value("reader") == "ffmpeg" ? cv::CAP_FFMPEG : cv::CAP_OPENCV_MJPEG;
    if (fps <= 0 || seconds <= 0 || clipSize.area() <= 0) {
        std::fprintf(stderr, "quorvel-camera-bench: bad --fps, --seconds or --size\n");
        return 2;
    }

    QTemporaryDir scratch;
    QString video = parser.value("video");
    if (video.isEmpty()) {
        video = scratch.filePath("camera-bench.avi");
    }
    if (!QFileInfo::exists(video)) {
        if (!writeClip(video, clipSize, fps, static_cast<int>(fps * 10))) {
            std::fprintf(stderr, "quorvel-camera-bench: cannot write %s\n", qPrintable(video));
            return 1;
        }
    }

    struct Mode {
        const char* name;
        bool decodeEveryFrame;
        bool withDelegate;
    };
    const Mode modes[] = {{"decode-one-in-15", false, true},
                          {"decode-every-frame", true, true},
                          {"grab-only", false, false}};
    int status = 0;
    for (const Mode& mode : modes) {
        CameraManagerOptions options;
        options.makeFrameSource = [&, mode]() -> std::unique_ptr<FrameSource> {
            return std::make_unique<DecodeCounter>(
                std::make_unique<PacedFrameSource>(
                    std::make_unique<VideoFileFrameSource>(video, reader), fps),
                mode.decodeEveryFrame);
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
        const qint64 decoded0 = decodedFrames.load();
        const qint64 forwarded0 = forwardedFrames.load();
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        waitFor(seconds * 1000);
        const double cpu = cpuSeconds() - cpu0;
        const double elapsed = static_cast<double>(wall.nsecsElapsed()) / 1e9;
        const qint64 frames = manager.frameCount() - frames0;
        manager.stop();

        QJsonObject line{
            {"mode", mode.name},
            {"reader", parser.value("reader")},
            {"video", video},
            {"fps", fps},
            {"seconds", elapsed},
            {"frames_grabbed", frames},
            {"frames_decoded", decodedFrames.load() - decoded0},
            {"frames_forwarded", forwardedFrames.load() - forwarded0},
            {"grab_fps", static_cast<double>(frames) / elapsed},
            {"cpu_ms_per_s", 1000.0 * cpu / elapsed},
            {"cpu_percent_of_core", 100.0 * cpu / elapsed},
        };
        std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        if (frames < fps * elapsed * 0.8) {
            status = 1; // could not keep the frame rate
        }
    }
    // Let the camera threads finish.
    while (CameraManager::liveCameraThreads() > 0) {
        waitFor(10);
    }
    return status;
}
