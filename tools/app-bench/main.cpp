// quorvel-bench: what the Quorvel program costs. It starts the real `quorvel` executable, as
// the user does, with its camera pointed at a recording (QUORVEL_CAMERA_SOURCE: a picture
// played as a 30 fps Motion-JPEG webcam, read through the same capture code as a camera),
// and prints one JSON line per scenario:
//
//   monitoring  monitoring on, both reminders on, calibrated on the played picture
//   idle        monitoring off, both reminders on
//               {"scenario": …, "cpu_percent": …, "peak_rss_mb": …, "final_rss_mb": …,
//                "peak_pss_mb": …, "pss_mb": …, "libraries": …, "wakeups_per_s": …,
//                "camera_cpu_percent": …}
//   launch      from starting the process to the tray icon or the fallback window being on
//               screen, as a user with monitoring and both reminders left on starts it
//               (median of --launch-runs fresh starts): {"scenario": "launch", "launch_ms": …}
//
//   quorvel-bench [--seconds N] [--runs N] [--launch-runs N] [--image FILE] [--size WxH]
//                 [--app PATH] [--explain] [--scenario monitoring|idle|launch]...
//                 [--xvfb :N] [--slouch-every S] [--tray]
//
// --xvfb :N starts an X server of its own (Xvfb) on display :N for the app, so that
// overlays are really drawn, and stops it at the end. --slouch-every S makes the camera
// lean the person into a slouch for a third of every S seconds (S >= 60, the pause
// between two slouch alerts), so the slouch overlay comes and goes during the run; the
// monitoring line then also gives overlays (the slouch episodes the app logged).
//
// --tray gives the app a system tray, as most users have one: a session bus of the bench's
// own (dbus-daemon) on which the bench is a D-Bus tray, owning org.kde.StatusNotifierWatcher
// with a host registered, the way Plasma, GNOME's AppIndicator extension or waybar offer it.
// The app then puts its icon there and keeps its panel hidden. Like a real host, the bench
// reads the icon's properties when it registers and again after each of its change signals
// (NewIcon, NewToolTip, ..., and its menu's layout updates); each line then also gives
// tray_updates_per_s, those signals over the window. Qt puts the icon on the bus on X11 and
// Wayland, not on the offscreen platform: use --tray with --xvfb for the icon's own cost.
//
// Every scenario runs in a fresh process of the app, with its settings, posture log and XDG
// folders in a temporary folder: the user's own are never read or written, and a running
// Quorvel is left alone. The figures are read from /proc while the app runs:
//
// cpu_percent   time on a CPU of all the process's threads over the measured window
//               (schedstat, in nanoseconds; threads are looked at every second, so one that
//               ends meanwhile counts too), in percent of one core (camera_cpu_percent: the
//               camera thread's share of it)
// peak_rss_mb   the process's peak resident memory (VmHWM) at the end of the window, since
//               its start; final_rss_mb: its resident memory (VmRSS) then
// pss_mb        its proportional memory at the end (Pss of /proc/PID/smaps_rollup): shared
//               pages count in part, by the number of processes sharing them; peak_pss_mb:
//               the most of it seen over the window (looked at every second)
// libraries     distinct shared libraries (.so files) mapped into the process
// wakeups_per_s voluntary context switches of all threads over the window: each time a
//               thread slept and was woken (preemptions on a busy machine are not counted)
// launch_ms     from just before starting the process to the first paint of the fallback
//               window (or the tray icon's show() plus one event-loop turn when there is a
//               tray), as the app reports it when QUORVEL_REPORT_SHOWN is set
//
// The played picture is the astronaut portrait of the tests, scaled into the frame (320x240,
// the size Quorvel asks a camera for) with black borders; --image takes another. The measured
// window starts after a warm-up (monitoring: 6 s, for the model to load; idle: 3 s). --explain
// prints each thread's share to standard error. Without a display the app uses Qt's offscreen
// platform; run it under Xvfb or a desktop for the X11 figures.

#include "app/LaunchOptions.h"
#include "posture/PostureAnalyzer.h"
#include "posture/PostureDetector.h"
#include "posture/movenet/MoveNetEstimator.h"
#include "settings/SettingsManager.h"

#include "ToolSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>

using namespace quorvel;
using quorvel::tools::jsonNumber;
using quorvel::tools::printJsonLine;

namespace {

const tools::Tool
    bench(QStringLiteral("quorvel-bench"),
          QStringLiteral(
              "usage: quorvel-bench [--seconds N] [--runs N] [--launch-runs N] [--image FILE]\n"
              "                     [--size WxH] [--app PATH] [--explain]\n"
              "                     [--scenario monitoring|idle|launch]...\n"
              "                     [--xvfb :N] [--slouch-every S] [--tray]\n"));

struct Options {
    double seconds = 20.0;
    int runs = 1;
    int launchRuns = 5;
    QString image = QStringLiteral(QUORVEL_BENCH_IMAGE);
    cv::Size size{320, 240};
    QString app = QStringLiteral(QUORVEL_BENCH_APP);
    bool explain = false;
    QStringList scenarios;
    QString xvfbDisplay;        // ":88": an X server of the bench's own
    int slouchEverySeconds = 0; // 0: the person sits upright all the time
    bool tray = false;          // a D-Bus tray of the bench's own
};

qint64 monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<qint64>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::optional<Options> parse(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOptions({{"seconds", "Measured seconds per scenario.", "N"},
                       {"runs", "Rounds of the scenarios.", "N"},
                       {"launch-runs", "Fresh starts the launch figure is the median of.", "N"},
                       {"image", "The picture the camera plays.", "FILE"},
                       {"size", "The camera's frame size.", "WxH"},
                       {"app", "The quorvel executable.", "PATH"},
                       {"explain", "Each thread's share, on standard error."},
                       {"scenario", "monitoring, idle or launch; all three by default.", "name"},
                       {"xvfb", "Run the app on an Xvfb of the bench's own.", ":N"},
                       {"slouch-every", "Slouch for a third of every S seconds.", "S"},
                       {"tray", "Give the app a D-Bus system tray of the bench's own."}});
    if (!bench.parse(parser, args) || !parser.positionalArguments().isEmpty()) {
        return std::nullopt;
    }
    Options o;
    const int most = std::numeric_limits<int>::max();
    const std::optional<int> runs = tools::Tool::intValue(parser, "runs", o.runs, 1, most);
    const std::optional<int> launchRuns =
        tools::Tool::intValue(parser, "launch-runs", o.launchRuns, 1, most);
    const std::optional<int> slouchEvery =
        tools::Tool::intValue(parser, "slouch-every", 0, 0, 3600);
    bool ok = runs && launchRuns && slouchEvery &&
              (*slouchEvery == 0 || *slouchEvery >= int(PostureDetector::cooldownSeconds));
    if (parser.isSet("xvfb")) {
        o.xvfbDisplay = parser.value("xvfb");
        bool number = false;
        ok = ok && o.xvfbDisplay.startsWith(':') && o.xvfbDisplay.mid(1).toInt(&number) >= 0 &&
             number;
    }
    if (parser.isSet("seconds")) {
        bool number = false;
        o.seconds = parser.value("seconds").toDouble(&number);
        ok = ok && number && o.seconds >= 1 && o.seconds <= 3600;
    }
    const std::optional<cv::Size> size = tools::Tool::sizeValue(parser, "size", o.size);
    ok = ok && size;
    o.size = size.value_or(o.size);
    o.scenarios = parser.values("scenario");
    for (const QString& s : o.scenarios) {
        ok = ok && (s == "monitoring" || s == "idle" || s == "launch");
    }
    if (!ok) {
        return std::nullopt;
    }
    o.runs = *runs;
    o.launchRuns = *launchRuns;
    o.slouchEverySeconds = *slouchEvery;
    o.image = parser.isSet("image") ? parser.value("image") : o.image;
    o.app = parser.isSet("app") ? parser.value("app") : o.app;
    o.explain = parser.isSet("explain");
    o.tray = parser.isSet("tray");
    if (o.scenarios.isEmpty()) {
        o.scenarios = {"monitoring", "idle", "launch"};
    }
    return o;
}

// ---- The camera stand-in ---------------------------------------------------------------

// The person leaning into the camera: closer and lower, as a slouch looks to a webcam.
cv::Mat leaning(const cv::Mat& image) {
    cv::Mat moved;
    const double w = image.cols, h = image.rows;
    const cv::Mat closer = (cv::Mat_<double>(2, 3) << 1.25, 0, -0.125 * w, 0, 1.25, 0.08 * h);
    cv::warpAffine(image, moved, closer, image.size());
    return moved;
}

// Writes the picture as Motion-JPEG frames: a second of it, or with --slouch-every a whole
// cycle, the last third leaning; returns the upright frame as the app will decode it, or an
// empty image.
cv::Mat writeStream(const Options& o, const QString& path) {
    const cv::Mat image = cv::imread(QFile::encodeName(o.image).toStdString(), cv::IMREAD_COLOR);
    if (image.empty()) {
        return image;
    }
    std::vector<uchar> upright, slouched;
    cv::imencode(".jpg", tools::letterboxed(image, o.size), upright,
                 {cv::IMWRITE_JPEG_QUALITY, 90});
    cv::imencode(".jpg", tools::letterboxed(leaning(image), o.size), slouched,
                 {cv::IMWRITE_JPEG_QUALITY, 90});
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return {};
    }
    const int frames = o.slouchEverySeconds > 0 ? o.slouchEverySeconds * 30 : 30;
    for (int i = 0; i < frames; ++i) {
        const auto& jpeg = o.slouchEverySeconds > 0 && i >= frames * 2 / 3 ? slouched : upright;
        file.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<qint64>(jpeg.size()));
    }
    return cv::imdecode(upright, cv::IMREAD_COLOR);
}

// ---- What the process costs ----------------------------------------------------------------

QByteArray readProc(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

// Per thread: its name, the times it went to sleep (voluntary context switches: each is
// followed by a wake-up; being preempted on a busy machine is not counted) and its time on
// a CPU in nanoseconds (schedstat: exact, where clock ticks count in 10 ms steps).
struct ThreadSample {
    QString name;
    long switches = 0;
    qint64 runNs = 0;
};

using Sample = std::map<int, ThreadSample>;

Sample sample(qint64 pid) {
    Sample result;
    const QString base = QStringLiteral("/proc/%1/task/").arg(pid);
    const QStringList tids = QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& tid : tids) {
        const QString task = base + tid;
        ThreadSample s;
        s.name = QString::fromUtf8(readProc(task + "/comm").trimmed());
        s.switches = statusField(readProc(task + "/status"), "voluntary_ctxt_switches");
        s.runNs = readProc(task + "/schedstat").split(' ').value(0).toLongLong();
        if (!s.name.isEmpty()) { // gone meanwhile
            result[tid.toInt()] = s;
        }
    }
    return result;
}

// Each thread seen during the window, first and last as seen: a thread that starts meanwhile
// counts from nothing, one that ends counts up to its last look (at most a second before).
struct ThreadSpan {
    ThreadSample first, last;
    bool started = false; // not there at the window's start
};
using Threads = std::map<int, ThreadSpan>;

void follow(Threads& threads, const Sample& now) {
    for (const auto& [tid, s] : now) {
        auto [it, inserted] = threads.try_emplace(tid);
        if (inserted) {
            it->second.first = ThreadSample{s.name, 0, 0};
            it->second.started = true;
        }
        it->second.last = s;
    }
}

int distinctLibraries(qint64 pid) {
    QSet<QByteArray> paths;
    for (const QByteArray& line : readProc(QStringLiteral("/proc/%1/maps").arg(pid)).split('\n')) {
        const qsizetype slash = line.indexOf('/');
        if (slash >= 0 && (line.endsWith(".so") || line.contains(".so."))) {
            paths.insert(line.mid(slash));
        }
    }
    return int(paths.size());
}

void explain(const Threads& threads, double seconds) {
    std::fprintf(stderr, "  %-8s %-20s %10s %10s\n", "tid", "thread", "wakeups/s", "cpu %");
    for (const auto& [tid, t] : threads) {
        const double switches = static_cast<double>(t.last.switches - t.first.switches) / seconds;
        const double cpu = static_cast<double>(t.last.runNs - t.first.runNs) / 1e9 / seconds * 100;
        std::fprintf(stderr, "  %-8d %-20s %10.2f %10.3f%s\n", tid, qUtf8Printable(t.last.name),
                     switches, cpu, t.started ? "  (new)" : "");
    }
}

void spin(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---- The system tray -----------------------------------------------------------------------

// A D-Bus tray on a session bus of its own: the StatusNotifierWatcher, with a host (this
// object too) registered from the start. Each icon that registers is read whole (GetAll), and
// read again after each change it signals, as hosts do; the signals are counted.
class TrayHost : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    static inline const QString busName = QStringLiteral("quorvel-bench-tray");

    ~TrayHost() override {
        if (m_daemon.state() != QProcess::NotRunning) {
            QDBusConnection::disconnectFromBus(busName);
            m_daemon.terminate();
            if (!m_daemon.waitForFinished(5000)) {
                m_daemon.kill();
                m_daemon.waitForFinished();
            }
        }
    }

    // Starts the bus and takes the watcher's name; false with `error` set when it cannot.
    bool start(QString* error) {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {"--session", "--print-address", "--nofork", "--nopidfile"});
        if (!m_daemon.waitForReadyRead(10000)) {
            *error = QStringLiteral("dbus-daemon did not start: %1").arg(m_daemon.errorString());
            return false;
        }
        m_address = QString::fromLocal8Bit(m_daemon.readLine()).trimmed();
        m_bus =
            std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, busName));
        if (!m_bus->isConnected() ||
            !m_bus->registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                   QDBusConnection::ExportAllContents) ||
            !m_bus->registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
            *error = QStringLiteral("cannot be the tray on %1").arg(m_address);
            return false;
        }
        m_items = new QDBusServiceWatcher(QString(), *m_bus,
                                          QDBusServiceWatcher::WatchForUnregistration, this);
        connect(m_items, &QDBusServiceWatcher::serviceUnregistered, this,
                [this](const QString& service) {
                    m_registered.removeAll(service);
                    m_items->removeWatchedService(service);
                });
        return true;
    }

    QString address() const { return m_address; }
    bool isHostRegistered() const { return true; }
    QStringList registeredItems() const { return m_registered; }
    int protocolVersion() const { return 0; }
    // Change signals of the icons and their menus since the last reset.
    qint64 updates() const { return m_updates; }
    void resetUpdates() { m_updates = 0; }

public Q_SLOTS:
    // Qt names its unique bus name; other toolkits name an object path on the sender.
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message) {
        const QString service = serviceOrPath.startsWith(u'/') ? message.service() : serviceOrPath;
        const QString path =
            serviceOrPath.startsWith(u'/') ? serviceOrPath : QStringLiteral("/StatusNotifierItem");
        if (m_registered.contains(service)) {
            return;
        }
        m_registered.append(service);
        m_items->addWatchedService(service);
        const QString item = QStringLiteral("org.kde.StatusNotifierItem");
        for (const char* name : {"NewTitle", "NewIcon", "NewAttentionIcon", "NewOverlayIcon",
                                 "NewToolTip", "NewStatus"}) {
            m_bus->connect(service, path, item, QLatin1String(name), this,
                           SLOT(itemChanged(QDBusMessage)));
        }
        // Qt's menu of the icon (com.canonical.dbusmenu), which hosts follow too.
        const QString menu = QStringLiteral("com.canonical.dbusmenu");
        for (const char* name : {"LayoutUpdated", "ItemsPropertiesUpdated"}) {
            m_bus->connect(service, QStringLiteral("/MenuBar"), menu, QLatin1String(name), this,
                           SLOT(itemChanged(QDBusMessage)));
        }
        readItem(service, path);
        Q_EMIT StatusNotifierItemRegistered(service + path);
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

private Q_SLOTS:
    void itemChanged(const QDBusMessage& signal) {
        ++m_updates;
        if (signal.interface() == QLatin1String("org.kde.StatusNotifierItem")) {
            readItem(signal.service(), signal.path());
        }
    }

private:
    void readItem(const QString& service, const QString& path) {
        QDBusMessage getAll = QDBusMessage::createMethodCall(
            service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("GetAll"));
        getAll << QStringLiteral("org.kde.StatusNotifierItem");
        m_bus->asyncCall(getAll);
    }

    QProcess m_daemon;
    QString m_address;
    std::unique_ptr<QDBusConnection> m_bus;
    QDBusServiceWatcher* m_items = nullptr;
    QStringList m_registered;
    qint64 m_updates = 0;
};

// ---- The app ----------------------------------------------------------------------------

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

QProcessEnvironment childEnvironment(const Options& o, const QString& base, const QString& stream,
                                     const TrayHost* tray) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (tray != nullptr) {
        env.insert("DBUS_SESSION_BUS_ADDRESS", tray->address());
    }
    if (!o.xvfbDisplay.isEmpty()) {
        env.insert("DISPLAY", o.xvfbDisplay);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.remove("WAYLAND_DISPLAY");
    }
    env.insert("XDG_CONFIG_HOME", base + "/config");
    env.insert("XDG_DATA_HOME", base + "/data");
    env.insert("XDG_CACHE_HOME", base + "/cache");
    env.insert("XDG_STATE_HOME", base + "/state");
    env.insert("XDG_RUNTIME_DIR", base + "/runtime");
    env.insert("QUORVEL_CAMERA_SOURCE", stream);
    env.insert("QUORVEL_REPORT_SHOWN", "1");
    if (!env.contains("QT_QPA_PLATFORM") && !env.contains("DISPLAY") &&
        !env.contains("WAYLAND_DISPLAY")) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
    }
    return env;
}

// The app, started; its "shown" report is picked out of its standard error, the rest passed
// on.
class App {
public:
    App(const Options& o, const QString& base, const QString& stream, const TrayHost* tray) {
        m_process.setProcessEnvironment(childEnvironment(o, base, stream, tray));
        m_process.setProgram(o.app);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            m_stderr += m_process.readAllStandardError();
            qsizetype end = 0;
            while ((end = m_stderr.indexOf('\n')) >= 0) {
                const QByteArray line = m_stderr.left(end);
                m_stderr.remove(0, end + 1);
                if (line.startsWith("shown ")) {
                    m_shownNs = line.mid(6).toLongLong();
                } else {
                    std::fprintf(stderr, "  app: %s\n", line.constData());
                }
            }
        });
        m_startedNs = monotonicNs();
        m_process.start();
        m_process.waitForStarted();
    }
    ~App() {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished();
            }
        }
    }
    bool running() { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }
    // Waits for the app to report its icon or window; the time since its start, or nothing.
    std::optional<double> launchMs(int timeoutMs = 30000) {
        for (int i = 0; i < timeoutMs / 50 && m_shownNs == 0 && running(); ++i) {
            spin(50);
        }
        if (m_shownNs == 0) {
            return std::nullopt;
        }
        return static_cast<double>(m_shownNs - m_startedNs) / 1e6;
    }

private:
    QProcess m_process;
    QByteArray m_stderr;
    qint64 m_startedNs = 0;
    qint64 m_shownNs = 0;
};

QString platform(const Options& o) {
    if (!o.xvfbDisplay.isEmpty()) {
        return QStringLiteral("xcb (Xvfb %1)").arg(o.xvfbDisplay);
    }
    const QString set = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!set.isEmpty()) {
        return set;
    }
    return qEnvironmentVariableIsSet("DISPLAY")           ? "xcb"
           : qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ? "wayland"
                                                          : "offscreen";
}

int runSteady(const Options& o, const QString& scenario, const QString& base, const QString& stream,
              TrayHost* tray) {
    App app(o, base, stream, tray);
    app.launchMs(15000); // an app that does not report it is measured all the same
    if (!app.running()) {
        return bench.fail(QStringLiteral("the app did not start (%1)").arg(o.app));
    }
    const bool monitoring = scenario == "monitoring";
    spin(monitoring ? 6000 : 3000);
    const QString proc = QStringLiteral("/proc/%1").arg(app.pid());
    const auto pssNow = [&] {
        return static_cast<double>(statusField(readProc(proc + "/smaps_rollup"), "Pss"));
    };
    Threads threads;
    for (const auto& [tid, s] : sample(app.pid())) {
        threads[tid] = ThreadSpan{s, s, false};
    }
    if (tray != nullptr) {
        tray->resetUpdates();
    }
    const qint64 start = monotonicNs();
    // PSS has no high-water mark of its own: look once a second (reading smaps_rollup costs
    // the app nothing; the kernel walks its page tables in this process's time), and at the
    // threads, so that one that ends meanwhile is counted too.
    double peakPss = pssNow();
    const qint64 end = start + static_cast<qint64>(o.seconds * 1e9);
    for (qint64 now = start; now < end; now = monotonicNs()) {
        spin(static_cast<int>(std::min<qint64>(1000, (end - now) / 1000000 + 1)));
        peakPss = std::max(peakPss, pssNow());
        follow(threads, sample(app.pid()));
    }
    const double seconds = static_cast<double>(monotonicNs() - start) / 1e9;
    const QByteArray status = readProc(proc + "/status");
    const double peakRss = static_cast<double>(statusField(status, "VmHWM"));
    const double finalRss = static_cast<double>(statusField(status, "VmRSS"));
    const double pss = pssNow();
    peakPss = std::max(peakPss, pss);
    const int libraries = distinctLibraries(app.pid());
    if (!app.running()) {
        return bench.fail(QStringLiteral("the app ended during the %1 scenario").arg(scenario));
    }

    long switches = 0;
    qint64 runNs = 0, cameraNs = 0;
    bool cameraRunning = false;
    for (const auto& [tid, t] : threads) {
        switches += t.last.switches - t.first.switches;
        runNs += t.last.runNs - t.first.runNs;
        if (t.last.name.startsWith("com.quorvel.cam")) { // the name as the kernel keeps it
            cameraNs += t.last.runNs - t.first.runNs;
            cameraRunning = true;
        }
    }
    if (monitoring && !cameraRunning) {
        return bench.fail(QStringLiteral("monitoring did not start: no camera thread"));
    }
    const auto percentOfCore = [&](qint64 ns) {
        return jsonNumber(static_cast<double>(ns) / 1e9 / seconds * 100.0, 3);
    };
    QJsonObject line{{"scenario", scenario},
                     {"cpu_percent", percentOfCore(runNs)},
                     {"peak_rss_mb", jsonNumber(peakRss / 1024.0, 1)},
                     {"final_rss_mb", jsonNumber(finalRss / 1024.0, 1)},
                     {"peak_pss_mb", jsonNumber(peakPss / 1024.0, 1)},
                     {"pss_mb", jsonNumber(pss / 1024.0, 1)},
                     {"libraries", libraries},
                     {"wakeups_per_s", jsonNumber(static_cast<double>(switches) / seconds, 2)},
                     {"camera_cpu_percent", percentOfCore(cameraNs)},
                     {"seconds", jsonNumber(seconds, 1)},
                     {"platform", platform(o)}};
    if (tray != nullptr) {
        line.insert("tray_icon", !tray->registeredItems().isEmpty());
        line.insert("tray_updates_per_s",
                    jsonNumber(static_cast<double>(tray->updates()) / seconds, 2));
    }
    if (o.slouchEverySeconds > 0 && monitoring) {
        // Each slouch alert is logged as an episode once its overlay goes.
        const QJsonDocument log =
            QJsonDocument::fromJson(readProc(base + "/data/Quorvel/posture-log.json"));
        line.insert("overlays", static_cast<qint64>(log.isArray() ? log.array().size() : 0));
    }
    printJsonLine(line);
    if (o.explain) {
        std::fprintf(stderr, "%s (pid %lld), per thread over %.1f s:\n", qUtf8Printable(scenario),
                     static_cast<long long>(app.pid()), seconds);
        explain(threads, seconds);
    }
    return 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int runParent(const Options& o) {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        return bench.fail(QStringLiteral("cannot create a temporary folder"));
    }
    if (!QFile::exists(o.app)) {
        return bench.fail(QStringLiteral("no app at %1 (--app)").arg(o.app));
    }
    std::unique_ptr<QProcess, void (*)(QProcess*)> xvfb(nullptr, [](QProcess* p) {
        p->terminate();
        if (!p->waitForFinished(5000)) {
            p->kill();
            p->waitForFinished();
        }
        delete p;
    });
    if (!o.xvfbDisplay.isEmpty()) {
        const QString socket = "/tmp/.X11-unix/X" + o.xvfbDisplay.mid(1);
        if (QFile::exists(socket)) {
            return bench.fail(QStringLiteral("display %1 is taken").arg(o.xvfbDisplay));
        }
        xvfb.reset(new QProcess);
        xvfb->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        xvfb->start("Xvfb", {o.xvfbDisplay, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"});
        for (int i = 0; i < 100 && !QFile::exists(socket) && xvfb->state() != QProcess::NotRunning;
             ++i) {
            spin(50);
        }
        if (!QFile::exists(socket)) {
            return bench.fail(QStringLiteral("Xvfb did not start on %1").arg(o.xvfbDisplay));
        }
    }
    std::unique_ptr<TrayHost> tray;
    if (o.tray) {
        tray = std::make_unique<TrayHost>();
        if (QString error; !tray->start(&error)) {
            return bench.fail(error);
        }
    }
    const QString stream = dir.filePath("camera.mjpeg");
    const cv::Mat frame = writeStream(o, stream);
    if (frame.empty()) {
        return bench.fail(QStringLiteral("cannot read %1").arg(o.image));
    }
    // The baseline, recorded here (this process is not measured) the way calibration
    // records it: the pose of the played picture, ten times.
    std::optional<BodyJoints> upright;
    {
        QString error;
        const LaunchOptions launch =
            LaunchOptions::fromEnvironment(QProcessEnvironment::systemEnvironment());
        const auto estimator =
            MoveNetEstimator::load(MoveNetEstimator::defaultModelDirectory(launch.modelDirectory),
                                   &error, 1, launch.posePrecision);
        if (!estimator) {
            return bench.fail(error);
        }
        // The app's own rule: a picture it would not calibrate on leaves it uncalibrated.
        upright = PostureDetector::usableJoints(estimator->estimate(frame));
        if (!upright) {
            bench.warn(QStringLiteral("no upright person in the picture; monitoring runs "
                                      "uncalibrated"));
        }
    }

    int status = 0;
    int folder = 0;
    for (int run = 0; run < o.runs; ++run) {
        for (const QString& scenario : o.scenarios) {
            if (scenario != "launch") {
                const QString base = dir.filePath(QString::number(++folder));
                if (!prepareFolder(base, scenario, frame, upright)) {
                    return bench.fail(QStringLiteral("cannot prepare %1").arg(base));
                }
                status = std::max(status, runSteady(o, scenario, base, stream, tray.get()));
                continue;
            }
            // Launch: several fresh starts, each from a first-run folder with monitoring on.
            std::vector<double> launchMs;
            for (int i = 0; i < o.launchRuns; ++i) {
                const QString base = dir.filePath(QString::number(++folder));
                if (!prepareFolder(base, scenario, frame, upright)) {
                    return bench.fail(QStringLiteral("cannot prepare %1").arg(base));
                }
                App app(o, base, stream, tray.get());
                const auto ms = app.launchMs();
                if (!ms) {
                    status = bench.fail(QStringLiteral("the launch scenario failed"));
                    break;
                }
                launchMs.push_back(*ms);
            }
            if (launchMs.empty()) {
                continue;
            }
            const auto [fastest, slowest] = std::minmax_element(launchMs.begin(), launchMs.end());
            printJsonLine({{"scenario", "launch"},
                           {"launch_ms", jsonNumber(median(launchMs), 1)},
                           {"launch_ms_min", jsonNumber(*fastest, 1)},
                           {"launch_ms_max", jsonNumber(*slowest, 1)},
                           {"runs", static_cast<qint64>(launchMs.size())},
                           {"platform", platform(o)}});
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<Options> options = parse(app.arguments().mid(1));
    if (!options) {
        return bench.usage();
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    return runParent(*options);
}

#include "main.moc"
