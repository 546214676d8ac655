#include "app/Activation.h"
#include "app/AppState.h"
#include "app/LaunchOptions.h"
#include "app/QuitSignals.h"
#include "app/QuorvelApp.h"
#include "app/SingleInstance.h"
#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "support/AppRig.h"
#include "support/PrivateBus.h"
#include "support/QuietOffscreen.h"

#include <QAccessible>
#include <QCursor>
#include <QDBusVariant>
#include <QDir>
#include <QMenu>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;

namespace {

QString errorText(const AppState& state) {
    return state.cameraError().value_or(QStringLiteral("(none)"));
}

// A private session bus, and on it a stand-in for a tray's StatusNotifierWatcher that says
// whether a host (the tray itself) has registered with it.
struct Tray {
    Bus bus;
    StandIn watcher{bus, QStringLiteral("org.kde.StatusNotifierWatcher")};
    Tray() { hostRegistered(false); }
    void hostRegistered(bool registered) {
        watcher.answer("Get:IsStatusNotifierHostRegistered",
                       QVariant::fromValue(QDBusVariant(registered)));
    }
    void hostRegisters() {
        hostRegistered(true);
        watcher.emitSignal("/StatusNotifierWatcher", watcher.name, "StatusNotifierHostRegistered");
    }
};

} // namespace

class TestApp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { silenceOffscreenWindowWarnings(); }

    // Whatever a test did, every camera is let go of.
    void cleanup() { QTRY_COMPARE(CameraManager::liveCameraThreads(), 0); }

    void startUpWithEmptyPreferences() {
        AppRig rig;
        AppState& s = *rig.state;
        QCOMPARE(rig.startUp, QStringList{"update"}); // no countdown, nothing ticks
        rig.turn();
        QVERIFY(rig.permissionAsks.empty() && !rig.monitoring->isRunning());
        s.toggleWaterReminder(false); // switched off while off: not started
        QCOMPARE(rig.startUp, QStringList{"update"});
        QCOMPARE(s.waterTimeRemaining(), "0:00");
        s.testOverlay(); // a slouch overlay, and no detector to tell of its end
        rig.overlays->dismiss();
    }

    void startUpWithStoredChoices() {
        AppRig rig("[General]\nstandReminderEnabled=true\nwaterReminderEnabled=true\n"
                   "postureMonitoringEnabled=true\nstandInterval=900\nwaterInterval=1200\n",
                   false);
        rig.settings->setLastUpdateCheck(rig.clock.now()); // checked just now: not again
        QSignalSpy monitoringWrites(rig.settings.get(),
                                    &SettingsManager::postureMonitoringEnabledChanged);
        AppState& s = rig.launch();

        // Both reminders started, on one shared tick, then the update check.
        QCOMPARE(rig.startUp, (QStringList{"timer", "update"}));
        rig.timerCallbacks.at(0)();
        QCOMPARE(s.standTimeRemaining(), "14:59");
        QCOMPARE(s.waterTimeRemaining(), "19:59");

        // The camera is asked for after construction returned, by the queued task, once.
        QVERIFY(rig.permissionAsks.empty());
        rig.answer(true);
        QCOMPARE(int(rig.permissionAsks.size()), 1);
        QVERIFY(rig.monitoring->isRunning());
        QCOMPARE(monitoringWrites.count(), 0);
    }

    // A second start replaces the pipeline, and a refusal leaves none holding the camera. The
    // pipeline is gone by the time the state says "not monitoring"; the camera thread closes
    // the device right after. A camera error goes with monitoring.
    void startsReplaceAndStopsRelease() {
        AppRig rig;
        AppState& s = *rig.state;
        rig.startMonitoring();
        QTRY_COMPARE(rig.cameras->open(), 1);
        rig.startMonitoring();
        QTRY_COMPARE(rig.cameras->made(), 2);
        QTRY_COMPARE(rig.cameras->alive(), 1);
        QTRY_VERIFY(rig.cameras->source(1)->read(&FrameScript::isOpen));
        QCOMPARE(rig.cameras->source(0)->read(&FrameScript::closes), 1);
        s.togglePostureMonitoring(true);
        rig.answer(false);
        QVERIFY(!rig.monitoring->isRunning());
        QTRY_COMPARE(rig.cameras->alive(), 0);

        rig.startMonitoring();
        QTRY_COMPARE(rig.cameras->open(), 1);
        {
            bool releasedFirst = false;
            QObject watcher;
            connect(&s, &AppState::postureStatusChanged, &watcher, [&] {
                releasedFirst =
                    !rig.monitoring->cameraManager() && !rig.monitoring->postureDetector();
            });
            s.togglePostureMonitoring(false);
            QVERIFY(releasedFirst);
        }
        QTRY_COMPARE(rig.cameras->alive(), 0);
        QCOMPARE(rig.cameras->source(2)->read(&FrameScript::closes), 1);

        rig.cameras->setRefuseOpen(true);
        rig.startMonitoring();
        QTRY_COMPARE(errorText(s), "Camera input error: Device or resource busy");
        s.togglePostureMonitoring(false);
        QVERIFY(!s.cameraError());
    }

    // What is done to all break reminders reaches every kind there is: each counts down and
    // asks for its own overlay, holds while locked, and has its overlay taken down, whether
    // on screen or waiting.
    void everyBreakKindIsHeldAndTakenDown() {
        TempFolder dir;
        SettingsManager settings(dir.path("Quorvel.conf"));
        FakeTimers timers;
        OverlayWindowController overlays(settings, FakeScreens::two(),
                                         OverlayTimings{0, 0, {0, 0, 0}}, timers.factory());
        BreakReminders reminders(overlays, settings, timers.factory());
        QList<OverlayType> kinds;
        for (const ReminderKind* kind : breakReminderKinds()) {
            ReminderManager& reminder = reminders.reminder(*kind);
            QCOMPARE(reminder.overlayType(), kind->overlay);
            reminder.start();
        }
        QVERIFY(reminders.anyRunning());
        timers.advance(5s);
        reminders.holdCountdowns();
        timers.advance(10min);
        for (const ReminderKind* kind : breakReminderKinds()) {
            QCOMPARE(reminders.reminder(*kind).secondsRemaining(),
                     (settings.*kind->interval)() - 5);
            reminders.showBreakOverlay(kind->overlay); // the first shown, the others waiting
            kinds << kind->overlay;
        }
        QCOMPARE(reminders.withdrawBreakOverlays(), kinds);
        timers.advance(1s);
        QVERIFY(!overlays.isShowing() && overlays.overlayQueue().isEmpty());
    }

    void calibrationPromptLastsThreeSecondsEvenWithNever() {
        AppRig rig("[General]\nautoDismissTimeout=0\n");
        rig.calibrate();
        AppState& s = *rig.state;
        s.startCalibration();
        QCOMPARE(s.postureStatus(), PostureStatus::calibrating);
        QVERIFY(rig.analyzer->isCalibrating() && !s.isCalibrated());
        QVERIFY(rig.overlays->currentType() == OverlayType::slouch);
        // A screen reader hears what the prompt is for; a slouch overlay says nothing more.
        const auto spokenNote = [&rig] {
            return QAccessible::queryAccessibleInterface(rig.overlays->panels().value(0))
                ->text(QAccessible::Description);
        };
        QCOMPARE(spokenNote(), "Calibrating");
        rig.timers.advance(2999ms);
        QVERIFY(rig.overlays->isShowing());
        rig.timers.advance(1ms);
        QVERIFY(!rig.overlays->isShowing());
        rig.timers.advance(1000ms); // faded out
        s.testOverlay();
        QCOMPARE(rig.overlays->currentType(), OverlayType::slouch);
        QCOMPARE(spokenNote(), QString());
    }

    void poseModelFailureIsShownAndReleasesTheCamera() {
        AppRig rig({}, false);
        AppState& s =
            rig.launch([](AppStateEnvironment& env) { env.poseEstimators = brokenEstimators(); });
        rig.startMonitoring();
        QTRY_COMPARE(rig.cameras->open(), 1);
        rig.cameras->source(0)->addFrames(CameraManager::processEveryNthFrame);
        QTRY_COMPARE(errorText(s), "Pose model could not be loaded: file missing");
        QCOMPARE(s.postureStatus(), PostureStatus::notMonitoring);
        QVERIFY(!rig.monitoring->isRunning());
        QTRY_COMPARE(rig.cameras->alive(), 0);
    }

    // Without a tray the panel is a window that closing puts away and asking brings back; the
    // icon takes over once a tray's watcher has a host, however late (Qt is not asked
    // before, or it would never use a tray that came after it). A status-notifier tray does
    // not say where its icon is: a click opens the panel at the pointer, on the icon, and a
    // second launch opens it there again, wherever the pointer is.
    void fallbackWindowUntilATrayAppears() {
        Tray tray;
        QVERIFY(!tray.bus.address.isEmpty());
        AppRig rig;
        QuorvelApp app(*rig.state, rig.stores(), tray.bus.connect());
        QCOMPARE(app.mode(), QuorvelApp::Mode::window);
        QWidget* window = app.panelWindow();
        QVERIFY(window && window->isVisible());
        QVERIFY(!window->close());
        QVERIFY(app.panelWindow() == window && window->isMinimized());
        app.showPanel();
        QVERIFY(!window->isMinimized() && window->isVisible());

        tray.watcher.appear(); // a watcher without its host yet: no tray
        QTest::qWait(300);
        QCOMPARE(app.mode(), QuorvelApp::Mode::window);
        tray.hostRegisters();
        QTRY_COMPARE_WITH_TIMEOUT(app.mode(), QuorvelApp::Mode::tray, 30000);
        QVERIFY(!app.panelWindow()->isVisible());
        QCursor::setPos(600, 3);
        app.togglePanel();
        const QPoint byTheIcon = app.panelWindow()->pos();
        app.togglePanel();
        QVERIFY(!app.panelWindow()->isVisible());
        QCursor::setPos(40, 500);
        app.showPanel();
        QVERIFY(app.panelWindow()->isVisible());
        QCOMPARE(app.panelWindow()->pos(), byTheIcon);
        app.togglePanel();
        const auto actions = app.trayMenu()->actions();
        QCOMPARE(actions.size(), 2);
        actions.at(0)->trigger(); // "Open Quorvel"
        QVERIFY(app.panelWindow()->isVisible());

        // An overlay comes while the panel is open: the panel gives way, so that one click
        // or one Escape dismisses the overlay (not the panel hidden under it).
        rig.overlays->show(OverlayType::stand, 0);
        QVERIFY(!app.panelWindow()->isVisible());
    }

    // Quit always quits, an overlay on screen or not (an overlay refuses to close: a close is
    // its dismissal), and the end of the session (SIGTERM) and Ctrl+C (SIGINT) quit as Quit
    // does, through the event loop, so what runs at quit (an episode under way is logged)
    // runs then too.
    void quitAlwaysQuits_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("Quit") << 0;
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void quitAlwaysQuits() {
        QFETCH(int, signal);
        AppRig rig({}, false);
        // The overlays' own fades: a dismissed overlay stays on screen while it fades out.
        rig.launch([](AppStateEnvironment& env) { env.overlayTimings = OverlayTimings{}; });
        QuorvelApp app(*rig.state, rig.stores());
        const QuitSignals quitSignals([&app] { app.quit(); });
        rig.overlays->show(OverlayType::stand, 0);
        QVERIFY(rig.overlays->isShowing());
        bool quitting = false;
        connect(qApp, &QCoreApplication::aboutToQuit, this, [&] { quitting = true; });
        QTimer::singleShot(0, this, [&] {
            if (signal == 0) {
                app.trayMenu() ? app.trayMenu()->actions().at(1)->trigger() : app.quit();
            } else {
                ::raise(signal);
            }
        });
        QTimer::singleShot(5000, this, [] { QCoreApplication::exit(1); }); // refused
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(quitting);
        disconnect(qApp, &QCoreApplication::aboutToQuit, this, nullptr);
    }

    // The panel opens by the icon, on the icon's screen, inside it.
    void panelPlacement() {
        const QSize size(320, 500);
        const QRect right(1280, 0, 1024, 768);
        // Icon at the top right of the right-hand screen: below it, 4 px from the edge.
        QCOMPARE(QuorvelApp::panelPosition(QRect(2280, 2, 22, 22), size, right),
                 QPoint(2304 - 320 - 5, 27));
        // Icon in a bottom panel: above it.
        QCOMPARE(QuorvelApp::panelPosition(QRect(1500, 744, 22, 22), size, right),
                 QPoint(1350, 744 - 500 - 4));
        // Icon at the left edge of the left screen.
        QCOMPARE(QuorvelApp::panelPosition(QRect(0, 0, 24, 24), size, QRect(0, 0, 1280, 800)),
                 QPoint(4, 27));
    }

    // Two launches at once: one takes the lock and listens, the other hands over and never
    // touches the socket. A socket left behind by a crashed instance is taken over.
    void singleInstance() {
        const QString name =
            QStringLiteral("quorvel-test-%1").arg(QCoreApplication::applicationPid());
        const QByteArray path = QDir(QDir::tempPath()).filePath(name).toLocal8Bit();
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, path.constData(), sizeof(address.sun_path));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(fd); // the file stays

        SingleInstance first(name);
        SingleInstance second(name);
        QVERIFY(!first.handOverToRunningInstance({}, 200) &&
                !second.handOverToRunningInstance({}, 200));
        QVERIFY(first.acquire());
        QVERIFY(!second.acquire());
        QVERIFY(!second.listen()); // not its socket to take
        QVERIFY(first.listen());
        QSignalSpy shown(&first, &SingleInstance::showRequested);
        // The launcher's activation token travels along; one that could break the line
        // protocol, or is not printable, is not sent.
        const QList<std::pair<QByteArray, QByteArray>> launches{
            {{}, {}},
            {"kwin-2071-quorvel_TIME4521", "kwin-2071-quorvel_TIME4521"},
            {"two words", {}},
            {"new\nline", {}},
            {QByteArray(600, 'x'), {}},
        };
        for (const auto& [sent, received] : launches) {
            shown.clear();
            QVERIFY(SingleInstance(name).handOverToRunningInstance(sent));
            QVERIFY(shown.wait(30000));
            QCOMPARE(shown.count(), 1);
            QCOMPARE(shown.at(0).at(0).toByteArray(), received);
        }
    }

    // Wayland sessions get the Wayland plugin first, unless the user chose a platform.
    void platformChoice() {
        const QList<std::pair<QStringList, QByteArray>> cases{
            {{}, {}},
            {{"DISPLAY=:0"}, {}},
            {{"WAYLAND_DISPLAY=wayland-0", "XDG_CURRENT_DESKTOP=GNOME"}, "wayland;xcb"},
            {{"XDG_SESSION_TYPE=wayland"}, "wayland;xcb"},
            {{"XDG_SESSION_TYPE=x11", "DISPLAY=:0"}, {}},
            {{"WAYLAND_DISPLAY=wayland-0", "QT_QPA_PLATFORM=xcb"}, {}},
        };
        for (const auto& [variables, platform] : cases) {
            QProcessEnvironment env;
            for (const QString& v : variables) {
                env.insert(v.section(u'=', 0, 0), v.section(u'=', 1));
            }
            QCOMPARE(preferredPlatform(env), platform);
        }
    }

    // The hooks for benchmarks and install tests, read from the environment in one go: one set
    // but empty counts; a precision that is not one of the known names leaves the choice to the
    // model, and an away time that is no number of seconds the default, each saying so.
    void launchOptionsFromEnvironment() {
        using Precision = MoveNetEstimator::Precision;
        QVERIFY(!LaunchOptions::fromEnvironment(QProcessEnvironment()).reportShown);
        QProcessEnvironment env;
        env.insert("QUORVEL_REPORT_SHOWN", "");
        QVERIFY(LaunchOptions::fromEnvironment(env).reportShown);
        for (const auto& [value, precision] :
             QList<std::pair<QString, Precision>>{{" BF16\n", Precision::bf16},
                                                  {"fp32", Precision::fp32},
                                                  {"int8", Precision::int8},
                                                  {"auto", Precision::automatic},
                                                  {"fast", Precision::automatic}}) {
            env.insert("QUORVEL_POSE_PRECISION", value);
            if (value == "fast") {
                QTest::ignoreMessage(
                    QtWarningMsg,
                    "QUORVEL_POSE_PRECISION=fast is not fp32, bf16, int8 or auto; ignored");
            }
            QCOMPARE(LaunchOptions::fromEnvironment(env).posePrecision, precision);
        }
        for (const auto& [value, seconds] : QList<std::pair<QString, std::optional<qint64>>>{
                 {" 20\n", 20}, {"0", std::nullopt}, {"soon", std::nullopt}}) {
            env.insert("QUORVEL_AWAY_SECONDS", value);
            if (!seconds) {
                QTest::ignoreMessage(QtWarningMsg,
                                     qPrintable(QString("QUORVEL_AWAY_SECONDS=%1 is not a number "
                                                        "of seconds; ignored")
                                                    .arg(value.trimmed())));
            }
            QCOMPARE(LaunchOptions::fromEnvironment(env).awaySeconds, seconds);
        }
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
