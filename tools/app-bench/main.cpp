// quorvel-bench: what the whole application costs. It runs Quorvel as the user does (the
// application state with its overlay controller, reminders, posture log, posture detector
// with the real pose model and camera manager, and the tray icon or its fallback window),
// with a 640x480 picture or video played as a 30 fps camera, and prints one JSON line per
// scenario:
//
//   monitoring  monitoring on, both reminders on, calibrated on the played picture:
//               {"scenario": "monitoring", "cpu_percent": …, "peak_rss_mb": …, "wakeups_per_s": …}
//   idle        monitoring off, both reminders on: the same figures
//   launch      from starting the process to the tray icon or the fallback window being on
//               screen, as a user with monitoring and both reminders left on starts it
//               (median of --launch-runs fresh starts):
//               {"scenario": "launch", "launch_ms": …, "main_ms": …}
//
//   quorvel-bench [--seconds N] [--runs N] [--launch-runs N] [--image FILE | --video FILE]
//                 [--panel hidden|open] [--explain] [--scenario monitoring|idle|launch]...
//
// Every scenario runs in a fresh process of this program, so that the figures of one do not
// mix with another's, with its settings, posture log and XDG folders in a temporary folder:
// the user's own are never read or written, and a running Quorvel is left alone.
//
// cpu_percent   user + system CPU time of all threads over the measured window (getrusage),
//               in percent of one core
// peak_rss_mb   the process's peak resident memory (VmHWM), model included once loaded
// wakeups_per_s voluntary + involuntary context switches of all threads over the window
//               (getrusage): each one is a thread that slept and was woken, or was preempted
// launch_ms     from just before this program starts the child process to the first paint
//               of the fallback window (or the tray icon's show() plus one event-loop turn
//               when there is a tray); main_ms is the part from the child's main()
//
// The played picture is the astronaut portrait of the tests, scaled into 640x480 with black
// borders; --image takes another. --video plays a file instead (a Motion-JPEG .avi as a
// camera delivers it; other formats are decoded at every frame, which costs more).
//
// The measured window starts after a warm-up: for monitoring, once the model is loaded and
// two frames have been analysed, plus a second. The panel is hidden while measuring (as
// when the user is not looking at it); --panel open keeps it on screen. --explain prints
// each thread's share to standard error. Without a display the children use Qt's offscreen
// platform; run it under Xvfb or a desktop for the X11 figures.

#include "app/AppState.h"
#include "app/QuorvelApp.h"
#include "app/SingleInstance.h"
#include "camera/CameraManager.h"
#include "camera/FileFrameSources.h"
#include "posture/movenet/MoveNetEstimator.h"
#include "posture/PostureAnalyzer.h"
#include "posture/PostureDetector.h"
#include "settings/SettingsManager.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

using namespace quorvel;

namespace {

constexpr int frameWidth = 640;
constexpr int frameHeight = 480;
constexpr double framesPerSecond = 30.0;

const char* const usageText =
    "usage: quorvel-bench [--seconds N] [--runs N] [--launch-runs N]\n"
    "                     [--image FILE | --video FILE] [--panel hidden|open] [--explain]\n"
    "                     [--scenario monitoring|idle|launch]...\n";

struct Options {
    double seconds = 20.0;
    int runs = 1;
    int launchRuns = 5;
    QString image = QStringLiteral(QUORVEL_BENCH_IMAGE);
    QString video;
    bool panelOpen = false;
    bool explain = false;
    QStringList scenarios;
    QString child; // set in a child process: the scenario it runs
};

int usage() {
    std::fputs(usageText, stderr);
    return 2;
}

int fail(const QString& message) {
    std::fprintf(stderr, "quorvel-bench: %s\n", qUtf8Printable(message));
    return 1;
}

void printLine(const QString& line) {
    std::fputs(qUtf8Printable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

QString jsonString(const QString& s) {
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("s"), s}})
                                 .toJson(QJsonDocument::Compact)
                                 .mid(5)
                                 .chopped(1));
}

QString number(double v, int decimals) {
    return std::isfinite(v) ? QString::number(v, 'f', decimals) : QStringLiteral("null");
}

qint64 monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<qint64>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::optional<Options> parse(QStringList args) {
    Options o;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        const bool hasValue = !args.isEmpty();
        bool ok = true;
        if (a == "--seconds" && hasValue) {
            o.seconds = args.takeFirst().toDouble(&ok);
            ok = ok && o.seconds >= 1 && o.seconds <= 3600;
        } else if (a == "--runs" && hasValue) {
            o.runs = args.takeFirst().toInt(&ok);
            ok = ok && o.runs >= 1;
        } else if (a == "--launch-runs" && hasValue) {
            o.launchRuns = args.takeFirst().toInt(&ok);
            ok = ok && o.launchRuns >= 1;
        } else if (a == "--image" && hasValue) {
            o.image = args.takeFirst();
        } else if (a == "--video" && hasValue) {
            o.video = args.takeFirst();
        } else if (a == "--panel" && hasValue) {
            const QString v = args.takeFirst();
            ok = v == "open" || v == "hidden";
            o.panelOpen = v == "open";
        } else if (a == "--explain") {
            o.explain = true;
        } else if ((a == "--scenario" || a == "--child") && hasValue) {
            const QString s = args.takeFirst();
            ok = s == "monitoring" || s == "idle" || s == "launch";
            if (a == "--child") {
                o.child = s;
            } else {
                o.scenarios << s;
            }
        } else {
            ok = false;
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    if (o.scenarios.isEmpty()) {
        o.scenarios = {"monitoring", "idle", "launch"};
    }
    return o;
}

// ---- The camera stand-in ---------------------------------------------------------------

// The picture as a 640x480 camera would show it: scaled to the frame's height and centred
// between black borders.
cv::Mat letterboxed(const cv::Mat& image) {
    const double scale = std::min(static_cast<double>(frameWidth) / image.cols,
                                  static_cast<double>(frameHeight) / image.rows);
    cv::Mat scaled;
    cv::resize(image, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat frame(frameHeight, frameWidth, CV_8UC3, cv::Scalar::all(0));
    scaled.copyTo(frame(cv::Rect((frameWidth - scaled.cols) / 2, (frameHeight - scaled.rows) / 2,
                                 scaled.cols, scaled.rows)));
    return frame;
}

// The first frame the camera stand-in delivers (for calibration), or an empty image.
cv::Mat firstFrame(const Options& o) {
    if (o.video.isEmpty()) {
        const cv::Mat image =
            cv::imread(QFile::encodeName(o.image).toStdString(), cv::IMREAD_COLOR);
        return image.empty() ? image : letterboxed(image);
    }
    cv::VideoCapture video(QFile::encodeName(o.video).toStdString());
    cv::Mat frame;
    video.read(frame);
    return frame;
}

// The picture or video played at 30 fps. The picture is read when the camera opens, as a
// camera's first frame comes then.
FrameSourceFactory cameraStandIn(const Options& o) {
    return [o]() -> std::unique_ptr<FrameSource> {
        std::unique_ptr<FrameSource> inner;
        if (o.video.isEmpty()) {
            inner = std::make_unique<ImageFrameSource>(firstFrame(o)); // empty: fails to open
        } else {
            // A Motion-JPEG .avi is read the way a camera delivers it: each grab takes the
            // compressed frame, only the frames passed on are decoded. Other files are
            // decoded at each grab (FFmpeg), which costs more than a camera does.
            const int reader = o.video.endsWith(QStringLiteral(".avi"), Qt::CaseInsensitive)
                                   ? cv::CAP_OPENCV_MJPEG
                                   : cv::CAP_ANY;
            inner = std::make_unique<VideoFileFrameSource>(o.video, reader); // restarts at the end
        }
        return std::make_unique<PacedFrameSource>(std::move(inner), framesPerSecond);
    };
}

// ---- Counting what the pose model does ---------------------------------------------------

std::atomic<int> modelLoads{0};
std::atomic<qint64> modelLoadNs{0};
std::atomic<qint64> estimates{0};

class CountingEstimator : public PoseEstimator {
public:
    explicit CountingEstimator(std::unique_ptr<PoseEstimator> inner) : m_inner(std::move(inner)) {}
    PoseResult estimate(const cv::Mat& bgr) override {
        PoseResult result = m_inner->estimate(bgr);
        ++estimates;
        return result;
    }

private:
    std::unique_ptr<PoseEstimator> m_inner;
};

// The app's own estimator factory, counted.
PoseEstimatorFactory countedEstimators() {
    return
        [real = defaultPoseEstimatorFactory()](QString* error) -> std::unique_ptr<PoseEstimator> {
            ++modelLoads;
            const qint64 start = monotonicNs();
            std::unique_ptr<PoseEstimator> estimator = real(error);
            modelLoadNs = monotonicNs() - start;
            return estimator ? std::make_unique<CountingEstimator>(std::move(estimator)) : nullptr;
        };
}

// ---- What the process costs ----------------------------------------------------------------

struct Usage {
    double cpuSeconds = 0;
    long switches = 0;
};

Usage processUsage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u); // all threads of the process
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return {seconds(u.ru_utime) + seconds(u.ru_stime), u.ru_nvcsw + u.ru_nivcsw};
}

// A "Key:   value kB" line of /proc/<pid>/status and its relatives.
long statusField(const QByteArray& status, const QByteArray& key) {
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith(key + ':')) {
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLong();
        }
    }
    return 0;
}

QByteArray readProc(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

double peakRssMb() {
    return static_cast<double>(statusField(readProc("/proc/self/status"), "VmHWM")) / 1024.0;
}

// Per thread: its name, context switches and CPU clock ticks, for --explain.
struct ThreadSample {
    QString name;
    long switches = 0;
    long ticks = 0;
};

std::map<int, ThreadSample> threadSamples() {
    std::map<int, ThreadSample> result;
    const QStringList tids = QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& tid : tids) {
        const QString base = "/proc/self/task/" + tid;
        const QByteArray status = readProc(base + "/status");
        const QByteArray stat = readProc(base + "/stat");
        ThreadSample s;
        s.name = QString::fromUtf8(readProc(base + "/comm").trimmed());
        s.switches = statusField(status, "voluntary_ctxt_switches") +
                     statusField(status, "nonvoluntary_ctxt_switches");
        // Fields after the command name's closing parenthesis: state is field 3, utime 14.
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        s.ticks = fields.value(11).toLong() + fields.value(12).toLong();
        result[tid.toInt()] = s;
    }
    return result;
}

void explain(const std::map<int, ThreadSample>& before, const std::map<int, ThreadSample>& after,
             double seconds) {
    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    std::fprintf(stderr, "  %-8s %-20s %10s %10s\n", "tid", "thread", "wakeups/s", "cpu %");
    for (const auto& [tid, s] : after) {
        const auto old = before.find(tid);
        const ThreadSample base = old != before.end() ? old->second : ThreadSample{};
        const double switches = static_cast<double>(s.switches - base.switches) / seconds;
        const double cpu = static_cast<double>(s.ticks - base.ticks) / hz / seconds * 100.0;
        std::fprintf(stderr, "  %-8d %-20s %10.2f %10.3f%s\n", tid, qUtf8Printable(s.name),
                     switches, cpu, old == before.end() ? "  (new)" : "");
    }
}

void spin(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Lets the camera thread of a stopped pipeline finish before the process ends.
void waitForCameraThreads() {
    for (int i = 0; i < 100 && CameraManager::liveCameraThreads() > 0; ++i) {
        spin(50);
    }
}

// The child refuses to start without private folders: it would use the user's.
bool hasPrivateFolders() {
    const QString base = qEnvironmentVariable("QUORVEL_BENCH_DIR");
    if (base.isEmpty()) {
        return false;
    }
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        if (!qEnvironmentVariable(name).startsWith(base)) {
            return false;
        }
    }
    return true;
}

// ---- The children ----------------------------------------------------------------------

// Monitoring or idle: the app as it is, then the measured window.
int runSteadyChild(const Options& o) {
    AppStateEnvironment environment; // the user's store and log paths, private here
    environment.camera.makeFrameSource = cameraStandIn(o);
    environment.poseEstimators = countedEstimators();
    AppState state(std::move(environment));
    QuorvelApp ui(state);
    if (!o.panelOpen && ui.panelWindow()) {
        ui.panelWindow()->hide();
    }

    const bool monitoring = o.child == "monitoring";
    QElapsedTimer warmUp;
    warmUp.start();
    if (monitoring) {
        while (estimates < 2 && warmUp.elapsed() < 60000 && !state.cameraError()) {
            spin(100);
        }
        if (estimates < 2) {
            return fail(QStringLiteral("monitoring did not start: %1")
                            .arg(state.cameraError().value_or(QStringLiteral("no frames"))));
        }
    }
    spin(monitoring ? 1000 : 2000);

    const qint64 framesBefore = state.cameraManager() ? state.cameraManager()->frameCount() : 0;
    const qint64 estimatesBefore = estimates;
    const auto threadsBefore = o.explain ? threadSamples() : std::map<int, ThreadSample>{};
    const Usage before = processUsage();
    const qint64 start = monotonicNs();
    spin(static_cast<int>(o.seconds * 1000));
    const Usage after = processUsage();
    const double seconds = static_cast<double>(monotonicNs() - start) / 1e9;
    const auto threadsAfter = o.explain ? threadSamples() : std::map<int, ThreadSample>{};
    const qint64 frames =
        (state.cameraManager() ? state.cameraManager()->frameCount() : 0) - framesBefore;
    const qint64 analysed = estimates - estimatesBefore;

    QString line =
        QStringLiteral("{\"scenario\": \"%1\", \"cpu_percent\": %2, \"peak_rss_mb\": %3, "
                       "\"wakeups_per_s\": %4, \"seconds\": %5, \"platform\": %6, \"panel\": "
                       "\"%7\", \"model_loaded\": %8")
            .arg(o.child, number((after.cpuSeconds - before.cpuSeconds) / seconds * 100.0, 3),
                 number(peakRssMb(), 1),
                 number(static_cast<double>(after.switches - before.switches) / seconds, 2),
                 number(seconds, 1), jsonString(QGuiApplication::platformName()),
                 o.panelOpen ? "open" : "hidden", modelLoads > 0 ? "true" : "false");
    if (monitoring) {
        line += QStringLiteral(", \"model_load_ms\": %1, \"frames_per_s\": %2, "
                               "\"analysed_per_s\": %3, \"status\": %4")
                    .arg(number(static_cast<double>(modelLoadNs) / 1e6, 1),
                         number(static_cast<double>(frames) / seconds, 2),
                         number(static_cast<double>(analysed) / seconds, 2),
                         jsonString(rawValue(state.postureStatus())));
    }
    printLine(line + QLatin1Char('}'));
    if (o.explain) {
        std::fprintf(stderr, "%s, per thread over %.1f s:\n", qUtf8Printable(o.child), seconds);
        explain(threadsBefore, threadsAfter, seconds);
    }

    state.shutdown();
    waitForCameraThreads();
    return 0;
}

// Launch: what main() of the app does, up to the icon or window on screen.
int runLaunchChild(const Options& o, qint64 enteredMain, QApplication& app) {
    QuorvelApp::setUpApplication(); // as the app starts

    // A name of its own, so that a running Quorvel is neither asked nor disturbed.
    SingleInstance instance(QStringLiteral("quorvel-bench-%1").arg(::getpid()));
    if (instance.handOverToRunningInstance()) {
        return fail(QStringLiteral("another bench child answered"));
    }
    instance.listen();

    AppStateEnvironment environment;
    environment.camera.makeFrameSource = cameraStandIn(o);
    environment.poseEstimators = countedEstimators();
    AppState state(std::move(environment));
    QuorvelApp ui(state);
    QObject::connect(&instance, &SingleInstance::showRequested, &ui, &QuorvelApp::showPanel);

    // The icon, or the window's first paint.
    qint64 shownNs = 0;
    const auto record = [&] {
        if (!shownNs) {
            shownNs = monotonicNs();
            QCoreApplication::exit(0);
        }
    };
    struct PaintWatch : QObject {
        std::function<void()> painted;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint && painted) {
                // Once this paint has been drawn and flushed.
                QMetaObject::invokeMethod(this, painted, Qt::QueuedConnection);
                painted = nullptr;
            }
            return QObject::eventFilter(watched, event);
        }
    } watch;
    if (ui.mode() == QuorvelApp::Mode::window && ui.panelWindow()) {
        watch.painted = record;
        ui.panelWindow()->installEventFilter(&watch);
    } else {
        QMetaObject::invokeMethod(&app, record, Qt::QueuedConnection);
    }
    QTimer::singleShot(30000, &app, [] { QCoreApplication::exit(1); });
    QApplication::exec();
    if (!shownNs) {
        return fail(QStringLiteral("the icon or window never showed"));
    }
    printLine(QStringLiteral("{\"main_ns\": %1, \"shown_ns\": %2, \"mode\": \"%3\", "
                             "\"platform\": %4, \"model_loaded_before_shown\": %5}")
                  .arg(enteredMain)
                  .arg(shownNs)
                  .arg(ui.mode() == QuorvelApp::Mode::window ? "window" : "tray",
                       jsonString(QGuiApplication::platformName()),
                       modelLoads > 0 ? "true" : "false"));
    state.shutdown();
    waitForCameraThreads();
    return 0;
}

// ---- The parent ------------------------------------------------------------------------

// Stores the scenario's settings where the child's XDG_CONFIG_HOME makes the app look.
bool prepareFolder(const QString& base, const QString& scenario, const cv::Mat& calibrationFrame,
                   const std::optional<BodyJoints>& upright) {
    for (const char* sub : {"config", "data", "cache", "state", "runtime"}) {
        if (!QDir().mkpath(base + '/' + sub)) {
            return false;
        }
    }
    QFile::setPermissions(base + "/runtime",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SettingsManager settings(base + "/config/Quorvel/Quorvel.conf");
    settings.setStandReminderEnabled(true);
    settings.setWaterReminderEnabled(true);
    settings.setPostureMonitoringEnabled(scenario != "idle");
    // Checked just now: no update check (and no network) during the run.
    settings.setLastUpdateCheck(QDateTime::currentDateTimeUtc());
    if (upright && !calibrationFrame.empty()) {
        PostureAnalyzer analyzer(settings);
        analyzer.startCalibration();
        for (int i = 0; i < PostureAnalyzer::calibrationFrameCount; ++i) {
            analyzer.addCalibrationFrame(*upright);
        }
    }
    return true;
}

QProcessEnvironment childEnvironment(const QString& base) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORVEL_BENCH_DIR", base);
    env.insert("XDG_CONFIG_HOME", base + "/config");
    env.insert("XDG_DATA_HOME", base + "/data");
    env.insert("XDG_CACHE_HOME", base + "/cache");
    env.insert("XDG_STATE_HOME", base + "/state");
    env.insert("XDG_RUNTIME_DIR", base + "/runtime");
    if (!env.contains("QT_QPA_PLATFORM") && !env.contains("DISPLAY") &&
        !env.contains("WAYLAND_DISPLAY")) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
    }
    return env;
}

QStringList childArguments(const Options& o, const QString& scenario) {
    QStringList args{"--child",   scenario,
                     "--seconds", QString::number(o.seconds),
                     "--panel",   o.panelOpen ? "open" : "hidden"};
    if (o.video.isEmpty()) {
        args << "--image" << o.image;
    } else {
        args << "--video" << o.video;
    }
    if (o.explain) {
        args << "--explain";
    }
    return args;
}

// Runs one child; its standard output, or nothing when it failed.
std::optional<QByteArray> runChild(const Options& o, const QString& scenario, const QString& base,
                                   qint64* startedNs) {
    QProcess child;
    child.setProcessEnvironment(childEnvironment(base));
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments(childArguments(o, scenario));
    *startedNs = monotonicNs();
    child.start();
    if (!child.waitForFinished(static_cast<int>(o.seconds * 1000) + 120000) ||
        child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        child.kill();
        child.waitForFinished();
        return std::nullopt;
    }
    return child.readAllStandardOutput().trimmed();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int runParent(const Options& o) {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        return fail(QStringLiteral("cannot create a temporary folder"));
    }
    const cv::Mat frame = firstFrame(o);
    if (frame.empty()) {
        return fail(QStringLiteral("cannot read %1").arg(o.video.isEmpty() ? o.image : o.video));
    }
    // The baseline, recorded here (this process is not measured) the way calibration
    // records it: the pose of the played picture, ten times.
    std::optional<BodyJoints> upright;
    {
        QString error;
        const auto estimator =
            MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(), &error);
        if (!estimator) {
            return fail(error);
        }
        const PoseResult result = estimator->estimate(frame);
        if (!result.failed && !result.observations.empty()) {
            upright = PostureDetector::extractJoints(result.observations.front());
        }
        if (!upright || !upright->hasValidKeyJoints()) {
            std::fputs("quorvel-bench: no upright person in the picture; monitoring runs "
                       "uncalibrated\n",
                       stderr);
            upright.reset();
        }
    }

    int status = 0;
    int folder = 0;
    for (int run = 0; run < o.runs; ++run) {
        for (const QString& scenario : o.scenarios) {
            if (scenario != "launch") {
                const QString base = dir.filePath(QString::number(++folder));
                qint64 started = 0;
                if (!prepareFolder(base, scenario, frame, upright)) {
                    return fail(QStringLiteral("cannot prepare %1").arg(base));
                }
                const auto out = runChild(o, scenario, base, &started);
                if (!out) {
                    status = fail(QStringLiteral("the %1 scenario failed").arg(scenario));
                    continue;
                }
                printLine(QString::fromUtf8(*out));
                continue;
            }
            // Launch: several fresh starts, each from a first-run folder with monitoring on.
            std::vector<double> launchMs;
            std::vector<double> mainMs;
            QString mode;
            QString platform;
            bool modelBeforeShown = false;
            for (int i = 0; i < o.launchRuns; ++i) {
                const QString base = dir.filePath(QString::number(++folder));
                qint64 started = 0;
                if (!prepareFolder(base, scenario, frame, upright)) {
                    return fail(QStringLiteral("cannot prepare %1").arg(base));
                }
                const auto out = runChild(o, scenario, base, &started);
                const QJsonObject child = QJsonDocument::fromJson(out.value_or("")).object();
                if (!out || !child.contains("shown_ns")) {
                    status = fail(QStringLiteral("the launch scenario failed"));
                    break;
                }
                const double shown = child["shown_ns"].toDouble();
                launchMs.push_back((shown - static_cast<double>(started)) / 1e6);
                mainMs.push_back((shown - child["main_ns"].toDouble()) / 1e6);
                mode = child["mode"].toString();
                platform = child["platform"].toString();
                modelBeforeShown = modelBeforeShown || child["model_loaded_before_shown"].toBool();
            }
            if (launchMs.empty()) {
                continue;
            }
            printLine(
                QStringLiteral("{\"scenario\": \"launch\", \"launch_ms\": %1, \"main_ms\": %2, "
                               "\"launch_ms_min\": %3, \"launch_ms_max\": %4, \"runs\": %5, "
                               "\"shown\": \"%6\", \"platform\": %7, "
                               "\"model_loaded_before_shown\": %8}")
                    .arg(number(median(launchMs), 1), number(median(mainMs), 1),
                         number(*std::min_element(launchMs.begin(), launchMs.end()), 1),
                         number(*std::max_element(launchMs.begin(), launchMs.end()), 1))
                    .arg(launchMs.size())
                    .arg(mode, jsonString(platform), modelBeforeShown ? "true" : "false"));
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    const qint64 enteredMain = monotonicNs();
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    const std::optional<Options> options = parse(args);
    if (!options) {
        return usage();
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    if (options->child.isEmpty()) {
        QCoreApplication app(argc, argv);
        return runParent(*options);
    }
    if (!hasPrivateFolders()) {
        return fail(QStringLiteral("--child runs only inside quorvel-bench (private folders)"));
    }
    QApplication app(argc, argv);
    if (options->child == "launch") {
        return runLaunchChild(*options, enteredMain, app);
    }
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QApplication::setOrganizationName(QStringLiteral("Quorvel"));
    QApplication::setQuitOnLastWindowClosed(false);
    return runSteadyChild(*options);
}
