#include "app/Activation.h"
#include "app/AppLogging.h"
#include "app/AppState.h"
#include "app/LaunchOptions.h"
#include "app/QuitSignals.h"
#include "app/QuorvelApp.h"
#include "app/SingleInstance.h"
#include "camera/CameraManager.h"
#include "camera/CameraPermission.h"
#include "common/Memory.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QEvent>
#include <QProcessEnvironment>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <time.h>

namespace {

// For quorvel-bench (LaunchOptions::reportShown): prints "shown <CLOCK_MONOTONIC ns>" on
// standard error once the fallback window's first paint is done, or one event-loop turn
// after the tray icon was shown.
class ShownReport : public QObject {
public:
    explicit ShownReport(quorvel::QuorvelApp& ui) {
        QWidget* window = ui.panelWindow();
        if (ui.mode() == quorvel::QuorvelApp::Mode::window && window != nullptr) {
            window->installEventFilter(this);
        } else {
            QTimer::singleShot(0, this, &ShownReport::report);
        }
    }

private:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, &ShownReport::report); // once drawn and flushed
        }
        return QObject::eventFilter(watched, event);
    }
    void report() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fprintf(stderr, "shown %lld\n",
                     static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        std::fflush(stderr);
    }
};

// `quorvel --version` answers in the terminal, without a display, and ends the program.
// Everything else on the command line is left to Qt (-platform, -session ...).
void answerVersion(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions); // -platform
    parser.addVersionOption();
    parser.parse(arguments);
    if (parser.isSet(QStringLiteral("version"))) {
        parser.showVersion();
    }
}

} // namespace

int main(int argc, char* argv[]) {
    quorvel::configureAllocator();
    answerVersion(argc, argv);
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const quorvel::LaunchOptions options = quorvel::LaunchOptions::fromEnvironment(environment);
    if (const QByteArray platform = quorvel::preferredPlatform(environment); !platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", platform);
    }
    // On X11 with more than one output, Qt takes each screen's available area to be all of it
    // unless told to rely on the window manager's work area (one rectangle for the desktop,
    // which Qt cuts to each screen). Without it the panel, placed by the pointer where the
    // tray does not say where its icon is, could cover the desktop's own bar.
    if (!qEnvironmentVariableIsSet("QT_RELY_ON_NET_WORKAREA_ATOM")) {
        qputenv("QT_RELY_ON_NET_WORKAREA_ATOM", "1");
    }
    QApplication app(argc, argv);
    quorvel::QuorvelApp::setUpApplication();

    quorvel::SingleInstance instance;
    const QByteArray token =
        quorvel::launchActivationToken(environment, QGuiApplication::platformName());
    if (!instance.acquire()) {
        // Another copy runs: it shows its panel, or it is just starting and will show itself.
        qCInfo(quorvel::lcApp, "Quorvel runs already: asking it for its panel");
        instance.handOverToRunningInstance(token);
        return 0;
    }
    instance.listen();

    quorvel::AppStateEnvironment appEnvironment;
    appEnvironment.camera.makeFrameSource = quorvel::CameraManager::defaultFrameSourceFactory(
        options.cameraRecording, options.cameraUseLog, options.cameraPath);
    if (!options.cameraRecording.isEmpty() ||
        options.cameraPath == quorvel::CameraManager::Path::v4l2) {
        // The desktop's camera portal is asked where the camera may be read through PipeWire;
        // a recording is no camera.
        appEnvironment.requestCameraPermission = [](QObject* context,
                                                    std::function<void(bool)> answer) {
            quorvel::CameraAccessProbe probe;
            probe.askPortal = false;
            quorvel::CameraPermission::request(context, std::move(answer), probe);
        };
    }
    appEnvironment.poseEstimators =
        quorvel::defaultPoseEstimatorFactory(options.modelDirectory, options.posePrecision);
    if (options.awaySeconds) {
        appEnvironment.presence.awaySeconds = *options.awaySeconds;
    }
    // The components first; the state conducts them, the panel shows it and their stores.
    quorvel::AppParts parts = quorvel::AppParts::make(appEnvironment);
    const quorvel::PanelStores stores{*parts.settings, *parts.postureLog};
    quorvel::AppState state(std::move(parts));
    quorvel::QuorvelApp ui(state, stores);
    QObject::connect(&instance, &quorvel::SingleInstance::showRequested, &ui,
                     &quorvel::QuorvelApp::showPanel);
    std::unique_ptr<ShownReport> shownReport;
    if (options.reportShown) {
        shownReport = std::make_unique<ShownReport>(ui);
    }
    // Let go of the camera before the process ends, and log an episode under way.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &state, &quorvel::AppState::shutdown);
    // The end of the session (SIGTERM) and Ctrl+C quit the same way.
    const quorvel::QuitSignals quitSignals([&ui] { ui.quit(); });
    return QApplication::exec();
}
