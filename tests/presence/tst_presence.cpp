// Presence through the real AppState on two private buses, with stand-ins that behave like
// the real services: logind's Lock is a request that the session's locker may or may not
// answer, lockers set LockedHint (or do not), PrepareForSleep(false) can be lost.
#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "stats/PostureLog.h"
#include "support/AppRig.h"
#include "support/PrivateBus.h"
#include "support/QuietOffscreen.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScopeGuard>
#include <QTest>
#include <csignal>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;

namespace {

constexpr int patience = Bus::patience;

const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_32");
const QString kdeSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString gnomeSaver = QStringLiteral("org.gnome.ScreenSaver");

// logind and both screen savers, with the session's locker: "GNOME" (LockedHint and
// org.gnome.ScreenSaver), "KDE" (LockedHint and org.freedesktop.ScreenSaver), "xss-lock
// with i3lock" and "swayidle with swaylock" (nothing reported at all).
struct Desk {
    StandIn logind, kde, gnome;
    QString locker;

    Desk(const Bus& system, const Bus& session, QString lockerProfile)
        : logind(system, "org.freedesktop.login1"), kde(session, kdeSaver),
          gnome(session, gnomeSaver), locker(std::move(lockerProfile)) {
        logind.answer("GetSessionByPID", QVariant::fromValue(QDBusObjectPath(sessionPath)));
        logind.answer("Get:LockedHint", QVariant::fromValue(QDBusVariant(false)));
        logind.answer("Get:PreparingForSleep", QVariant::fromValue(QDBusVariant(false)));
        kde.answer("GetActive", false);
        gnome.answer("GetActive", false);
        for (StandIn* service : {&logind, &kde, &gnome}) {
            service->appear();
        }
    }
    bool reports() const { return locker == "GNOME" || locker == "KDE"; }
    // logind's Lock and Unlock: requests the locker follows in its way.
    void request(bool lock) {
        logind.emitSignal(sessionPath, "org.freedesktop.login1.Session", lock ? "Lock" : "Unlock");
        lockerSays(lock);
    }
    // The user types the password into the locker: logind sends nothing.
    void userUnlocks() { lockerSays(false); }
    void hint(bool locked) {
        logind.answer("Get:LockedHint", QVariant::fromValue(QDBusVariant(locked)));
        if (logind.connection) {
            logind.emitSignal(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                              {"org.freedesktop.login1.Session",
                               QVariantMap{{"LockedHint", locked}}, QStringList()});
        }
    }
    void lockerSays(bool locked) {
        if (!reports()) {
            return;
        }
        hint(locked);
        StandIn& saver = locker == "KDE" ? kde : gnome;
        saver.answer("GetActive", locked);
        saver.emitSignal(locker == "KDE" ? "/ScreenSaver" : "/org/gnome/ScreenSaver", saver.name,
                         "ActiveChanged", {locked});
    }
    void sleep(bool asleep, bool signalLost = false) {
        logind.answer("Get:PreparingForSleep", QVariant::fromValue(QDBusVariant(asleep)));
        if (!signalLost) {
            logind.emitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                              "PrepareForSleep", {asleep});
        }
    }
};

} // namespace

class TestPresence : public QObject {
    Q_OBJECT

    TempFolder m_dir;
    std::unique_ptr<Bus> m_system;
    std::unique_ptr<Bus> m_session;
    std::unique_ptr<Desk> m_desk;
    std::unique_ptr<AppRig> m_rig;
    QDateTime m_start;
    std::optional<QDateTime> m_lastInput; // nothing: the desktop cannot tell

    // An app on the private buses with the stand-ins there; its clock is its timers'.
    // `idleFromDesktop`: input idleness comes from GNOME's idle monitor on the session bus,
    // as on GNOME's Wayland session, instead of from the test.
    AppState& launch(const QByteArray& preferences, const QString& locker = "GNOME",
                     bool idleFromDesktop = false) {
        m_desk = std::make_unique<Desk>(*m_system, *m_session, locker);
        m_rig = std::make_unique<AppRig>(preferences, false);
        m_start = m_rig->clock.now();
        m_lastInput = m_start;
        AppState& state = m_rig->launch([this, idleFromDesktop](AppStateEnvironment& env) {
            env.presence = PresenceEnvironment::none();
            env.presence.systemBus = m_system->address;
            env.presence.sessionBus = m_session->address;
            if (!idleFromDesktop) {
                env.presence.idleMs = [this]() -> std::optional<qint64> {
                    return m_lastInput ? std::optional(m_lastInput->msecsTo(now())) : std::nullopt;
                };
            }
            env.clock = [this] {
                return now();
            };
            env.monotonic = [this] {
                return m_rig->timers.now();
            };
            env.requestCameraPermission = [](QObject* context, std::function<void(bool)> answer) {
                QMetaObject::invokeMethod(
                    context, [answer] { answer(true); }, Qt::QueuedConnection);
            };
        });
        static_cast<void>(
            QTest::qWaitFor([&] { return !m_rig->presence->loginSession().isEmpty(); }, patience));
        quiesce();
        return state;
    }
    QDateTime now() const { return m_start.addMSecs(m_rig->timers.now().count()); }
    PresencePolicy& policy() const { return m_rig->presence->policy(); }
    // Everything the stand-ins sent, and every answer to the app, has been acted on.
    void quiesce() {
        for (const Bus* bus : {m_system.get(), m_session.get()}) {
            // On the app's own connection (see PresenceMonitor).
            QDBusPendingCall ping =
                QDBusConnection::connectToBus(bus->address, "quorvel-presence:" + bus->address)
                    .asyncCall(QDBusMessage::createMethodCall(
                        bus == m_system.get() ? "org.freedesktop.login1" : gnomeSaver, "/",
                        "org.quorvel.Test", "Ping"));
            QDBusPendingCallWatcher answered(ping);
            QEventLoop loop; // the stand-ins answer on this thread
            connect(&answered, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
            if (!ping.isFinished()) {
                loop.exec();
            }
            QCoreApplication::processEvents();
        }
        m_rig->turn();
        noteCamera();
    }
    void noteCamera() {
        if (m_rig->state && cameraOpen() != m_cameraNoted) {
            m_cameraNoted = cameraOpen();
            note(m_cameraNoted ? "camera on" : "camera off");
        }
    }
    // Moves time on to each timer in turn, acting on what each brings.
    void elapse(std::chrono::milliseconds time) {
        const auto target = m_rig->timers.now() + time;
        while (m_rig->timers.now() < target) {
            const auto next = std::min(target, m_rig->timers.nextDue().value_or(target));
            m_rig->timers.advance(next - m_rig->timers.now());
            m_rig->turn();
            if (policy().isPaused()) {
                quiesce(); // it may have asked logind
            }
            noteCamera();
        }
    }
    void input() { m_lastInput = now(); }
    bool cameraOpen() const { return m_rig->monitoring->isRunning(); }

    // The working day: what the user does, and what Quorvel did, with times.
    bool m_typing = false;
    bool m_atDesk = false;
    QStringList m_day;
    void note(const QString& what) {
        m_day << QTime(9, 0).addSecs(int(m_start.secsTo(now()))).toString("hh:mm:ss ") + what;
    }
    // Lives on until `hhmm`: the user types and sits in view minute by minute, as set.
    void until(const char* hhmm) {
        const QTime target = QTime::fromString(QString::fromLatin1(hhmm), "hh:mm");
        for (int left;
             (left = QTime(9, 0).addSecs(int(m_start.secsTo(now()))).secsTo(target)) > 0;) {
            if (m_typing) {
                input();
            }
            if (m_atDesk && cameraOpen()) {
                m_rig->frame(upright());
            }
            elapse(std::chrono::seconds(std::min(left, 60)));
        }
    }
    void followTheDay(AppState& s) {
        auto* overlays = m_rig->overlays;
        connect(overlays, &OverlayWindowController::shown, this,
                [this](OverlayType t) { note(rawValue(t) + " overlay up"); });
        connect(overlays, &OverlayWindowController::dismissed, this,
                [this](OverlayType t) { note(rawValue(t) + " overlay down"); });
        connect(&policy(), &PresencePolicy::paused, this, [this] {
            note(policy().pauseReason() == PauseReason::asleep ? "paused: asleep"
                                                               : "paused: locked");
        });
        connect(&policy(), &PresencePolicy::resumed, this, [this](bool taken) {
            note(taken ? "resumed, countdowns start over" : "resumed, countdowns go on");
        });
        connect(&policy(), &PresencePolicy::awayReached, this, [this] { note("away"); });
        connect(&policy(), &PresencePolicy::returned, this,
                [this] { note("back, countdowns start over"); });
        m_cameraNoted = cameraOpen();
        connect(&s, &AppState::postureStatusChanged, this, [this] {
            if (m_rig->log->events().size() != m_logged) {
                m_logged = m_rig->log->events().size();
                note(QStringLiteral("slouch logged, %1 s")
                         .arg(m_rig->log->events().last().duration));
            }
        });
    }
    bool m_cameraNoted = false;
    qsizetype m_logged = 0;

private Q_SLOTS:
    // Eight hours at the desk, from arriving to leaving: every overlay shown and taken down,
    // countdown restarts, the camera going off and on, and the slouch log.
    void aWorkingDay() {
        AppState& s = launch("[General]\npostureMonitoringEnabled=true\nstandReminderEnabled=true\n"
                             "standInterval=1800\nwaterReminderEnabled=true\nwaterInterval=2700\n"
                             "autoDismissTimeout=30\n");
        followTheDay(s);
        m_typing = m_atDesk = true;
        s.startCalibration(); // arrive and calibrate
        for (int i = 0; i < 10; ++i) {
            m_rig->frame(upright());
        }
        until("09:20");
        for (int i = 0; i < 6; ++i) {
            m_rig->frame(slouched());
        }
        elapse(30s);
        m_rig->frame(upright());
        m_rig->frame(upright());
        until("10:00");
        m_typing = false; // reading, 40 minutes without input
        until("10:40");
        m_typing = true;
        until("11:00");
        m_desk->request(true); // right as the stand reminder comes: a 3-minute lock
        quiesce();
        until("11:03");
        m_desk->userUnlocks();
        quiesce();
        until("12:00");
        m_desk->locker = "xss-lock with i3lock"; // lunch: a locker that reports nothing
        m_desk->request(true);
        quiesce();
        m_typing = m_atDesk = false;
        until("12:50");
        m_typing = m_atDesk = true;
        until("14:00");
        m_desk->sleep(true); // the lid closes over a meeting
        quiesce();
        m_typing = false;
        elapse(59min + 50s);
        m_desk->sleep(false, /*signalLost=*/true);
        until("15:05");
        m_typing = true;
        until("16:00");
        m_typing = m_atDesk = false; // away from the desk, unlocked
        until("16:40");
        m_typing = m_atDesk = true;
        until("17:00");
        const QStringList expected{
            // arrive, calibrate (the prompt is up for 3 s), work
            "09:00:00 camera on",
            "09:00:00 slouch overlay up",
            "09:00:03 slouch overlay down",
            // a slouch, 30 s
            "09:20:00 slouch overlay up",
            "09:20:30 slouch overlay down",
            "09:20:30 slouch logged, 30 s",
            "09:30:00 stand overlay up",
            "09:30:30 stand overlay down",
            "09:45:00 water overlay up",
            "09:45:30 water overlay down",
            // reading 10:00-10:40 without input: present, the camera sees them
            "10:00:00 stand overlay up",
            "10:00:30 stand overlay down",
            "10:30:00 stand overlay up",
            "10:30:30 stand overlay down",
            "10:30:30 water overlay up",
            "10:31:00 water overlay down",
            // a stand reminder, and at once a 3-minute lock (GNOME): it comes back after
            "11:00:00 stand overlay up",
            "11:00:00 stand overlay down",
            "11:00:00 paused: locked",
            "11:00:00 camera off",
            "11:03:03 stand overlay up",
            "11:03:03 resumed, countdowns go on",
            "11:03:03 camera on",
            "11:03:33 stand overlay down",
            "11:18:03 water overlay up",
            "11:18:33 water overlay down",
            "11:33:03 stand overlay up",
            "11:33:33 stand overlay down",
            // lunch, 50 minutes, behind a locker that reports nothing: back at the first input
            "12:00:00 paused: locked",
            "12:00:00 camera off",
            "12:50:15 resumed, countdowns start over",
            "12:50:15 camera on",
            "13:20:15 stand overlay up",
            "13:20:45 stand overlay down",
            "13:35:15 water overlay up",
            "13:35:45 water overlay down",
            "13:50:15 stand overlay up",
            "13:50:45 stand overlay down",
            // the lid closes over a meeting; the wake's signal is lost, logind is asked again,
            // and the session is given a moment to settle (a locker may lock on waking)
            "14:00:00 paused: asleep",
            "14:00:00 camera off",
            "15:00:15 resumed, countdowns start over",
            "15:00:15 away",
            "15:00:15 camera on",
            "15:00:50 back, countdowns start over",
            "15:30:50 stand overlay up",
            "15:31:20 stand overlay down",
            "15:45:50 water overlay up",
            "15:46:20 water overlay down",
            "16:00:50 stand overlay up",
            "16:01:20 stand overlay down",
            // away from the desk, unlocked: no overlay, no countdown, until back
            "16:04:00 away",
            "16:40:00 back, countdowns start over",
        };
        QCOMPARE(m_day, expected);
        QVERIFY(s.isCalibrated());
    }

    void initTestCase() {
        silenceOffscreenWindowWarnings();
        writeFile(
            m_dir.path("system.conf"),
            "<busconfig><type>system</type><listen>unix:dir=" + m_dir.path().toLocal8Bit() +
                "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                "</policy></busconfig>");
        m_system = std::make_unique<Bus>(QStringList{"--config-file=" + m_dir.path("system.conf")});
        m_session = std::make_unique<Bus>(QStringList{"--session"});
        QVERIFY(!m_system->address.isEmpty() && !m_session->address.isEmpty());
    }
    void cleanup() {
        m_rig.reset();
        m_desk.reset();
        QTRY_COMPARE(CameraManager::liveCameraThreads(), 0);
    }

    // Whatever the locker, a lock request lets go of the camera at once, and the pause ends
    // when the user is back: by the locker's word where it gives one (not by the password
    // typed into it), else by the first input.
    void everyLocker_data() {
        QTest::addColumn<QString>("locker");
        for (const char* locker :
             {"GNOME", "KDE", "xss-lock with i3lock", "swayidle with swaylock"}) {
            QTest::newRow(locker) << locker;
        }
    }
    void everyLocker() {
        QFETCH(QString, locker);
        AppState& s =
            launch("[General]\npostureMonitoringEnabled=true\nstandReminderEnabled=true\n", locker);
        QVERIFY(cameraOpen());
        m_desk->request(true);
        quiesce();
        QVERIFY(!cameraOpen());
        QCOMPARE(s.pauseReason(), std::optional(PauseReason::locked));
        elapse(60min);
        input(); // the password
        elapse(15s);
        QCOMPARE(cameraOpen(), !m_desk->reports());
        m_desk->userUnlocks();
        quiesce();
        elapse(15s);
        QVERIFY(cameraOpen() && !s.pauseReason());
        QCOMPARE(s.standTimeRemaining(), m_desk->reports() ? "29:48" : "29:45");
    }

    // logind restarting behind a lock screen is no unlock; back, it is asked again.
    void logindRestartsBehindALock() {
        launch("[General]\npostureMonitoringEnabled=true\n", "GNOME");
        m_desk->hint(true);
        quiesce();
        m_desk->logind.vanish();
        quiesce();
        elapse(1min);
        QVERIFY(!cameraOpen());
        m_desk->hint(false); // unlocked meanwhile
        m_desk->logind.appear();
        for (int i = 0; i < 5; ++i) {
            quiesce(); // it finds the session again and reads the hint
        }
        elapse(3s);
        QVERIFY(cameraOpen());
    }

    // A system bus that accepted the connection and answers nothing holds nothing up: the
    // session bus still tells of locks, and quitting does not wait for it.
    void aHungSystemBus() {
        Bus hung(QStringList{"--config-file=" + m_dir.path("system.conf")});
        ::kill(pid_t(hung.daemon.processId()), SIGSTOP);
        m_desk = std::make_unique<Desk>(*m_system, *m_session, "GNOME");
        m_rig = std::make_unique<AppRig>(QByteArray(), false);
        QElapsedTimer started;
        started.start();
        m_rig->launch([&](AppStateEnvironment& env) {
            env.presence = PresenceEnvironment::none();
            env.presence.systemBus = hung.address;
            env.presence.sessionBus = m_session->address;
            env.presence.busPatience = 60s;
        });
        m_rig->turn();
        QVERIFY2(started.elapsed() < 10000, "libdbus gives up after 25 s");
        m_desk->gnome.answer("GetActive", true);
        m_desk->gnome.emitSignal("/org/gnome/ScreenSaver", gnomeSaver, "ActiveChanged", {true});
        QTRY_VERIFY_WITH_TIMEOUT(m_rig->presence->policy().isPaused(), patience);
        QElapsedTimer quitting;
        quitting.start();
        m_rig.reset();
        QVERIFY2(quitting.elapsed() < 30000, "quitting waited for the hung bus");
    }

    // The session bus goes away during a GNOME lock and is made again (a crash, the user's bus
    // restarted): Quorvel connects again and reads every state again; the lock that ended
    // meanwhile ends the pause at the first input, and away comes as before.
    void theSessionBusComesBack() {
        auto usual = std::exchange(
            m_session, std::make_unique<Bus>(QStringList{
                           "--session", "--address=unix:path=" + m_dir.path("session-bus")}));
        const auto restore = qScopeGuard([&] {
            m_rig.reset();
            m_desk.reset();
            m_session = std::move(usual);
        });
        StandIn mutter(*m_session, "org.gnome.Mutter.IdleMonitor");
        auto idleIs = [&] {
            mutter.answer("GetIdletime", quint64(m_lastInput->msecsTo(now())));
        };
        mutter.answer("GetIdletime", quint64(0));
        mutter.appear();
        launch("[General]\npostureMonitoringEnabled=true\nstandReminderEnabled=true\n", "GNOME",
               true);
        m_desk->request(true);
        quiesce();
        QVERIFY(policy().isPaused());

        m_session->crash();
        m_desk->userUnlocks(); // while the bus is gone
        m_session->start();
        for (StandIn* service : {&m_desk->gnome, &m_desk->kde, &mutter}) {
            service->vanish();
            service->appear();
        }
        // Every few seconds it tries again, until the new bus answers and it asks GNOME again.
        const int asked = m_desk->gnome.timesAsked("GetActive");
        QVERIFY(QTest::qWaitFor(
            [&] {
                elapse(std::chrono::seconds(1));
                return m_desk->gnome.timesAsked("GetActive") > asked;
            },
            patience));
        quiesce();
        QVERIFY(policy().isPaused());

        for (int i = 0; i < 6 && policy().isPaused(); ++i) {
            if (i == 2) {
                input(); // the user back at the desk
            }
            idleIs();
            elapse(std::chrono::seconds(PresencePolicy::awaitingIdlePollSeconds));
            quiesce();
        }
        QVERIFY(!policy().isPaused());
        QTRY_VERIFY(cameraOpen());

        for (int i = 0; i < 30 && !policy().isAway(); ++i) {
            idleIs();
            elapse(std::chrono::seconds(PresencePolicy::awaitingIdlePollSeconds));
            quiesce();
        }
        QVERIFY(policy().isAway());
    }

    // A lock during calibration cancels it; back, it starts over with its prompt, and no
    // frame from before the lock counts. A press in the panel ends a pause nobody ends.
    void calibrationAndThePanel() {
        AppState& s = launch("[General]\npostureMonitoringEnabled=true\n", "xss-lock with i3lock");
        s.startCalibration();
        for (int i = 0; i < 9; ++i) {
            m_rig->frame(upright());
        }
        m_desk->request(true);
        quiesce();
        QVERIFY(!m_rig->analyzer->isCalibrating() && !m_rig->overlays->isShowing());
        m_lastInput.reset();
        elapse(30min);
        s.testOverlay(); // stuck without input: the panel's press is the user
        QVERIFY(!policy().isPaused());
        m_rig->turn();
        QVERIFY(cameraOpen() && m_rig->analyzer->isCalibrating());
        QCOMPARE(m_rig->overlays->currentType(), OverlayType::slouch); // the prompt
        m_rig->frame(upright());
        QVERIFY(!s.isCalibrated());
    }
};

QTEST_MAIN(TestPresence)
#include "tst_presence.moc"
