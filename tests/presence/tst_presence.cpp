#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "stats/PostureLog.h"
#include "support/AppRig.h"
#include "support/QuietOffscreen.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <map>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;

namespace {

constexpr int patience = 60000; // bus round trips take milliseconds; this only catches hangs
int connections = 0;

// A private dbus-daemon that lives as long as this object.
struct Bus {
    QProcess daemon;
    QString address;
    std::optional<QDBusConnection> watcher;
    explicit Bus(const QStringList& arguments) {
        daemon.start(QStringLiteral("dbus-daemon"),
                     arguments + QStringList{"--print-address", "--nofork"});
        if (daemon.waitForReadyRead(patience)) {
            address = QString::fromLocal8Bit(daemon.readLine()).trimmed();
            watcher = connect();
        }
    }
    ~Bus() {
        daemon.terminate();
        daemon.waitForFinished(patience);
    }
    QDBusConnection connect() const {
        return QDBusConnection::connectToBus(address, QStringLiteral("c%1").arg(++connections));
    }
};

// A stand-in service: owns its real name on a private bus, on a connection of its own,
// answers the methods the test gives answers for (by name, on any path), sends signals.
struct StandIn final : QDBusVirtualObject {
    const Bus& bus;
    QString name;
    QVariantMap answers;
    std::optional<QDBusConnection> connection;

    StandIn(const Bus& onBus, const QString& serviceName) : bus(onBus), name(serviceName) {}
    ~StandIn() override { vanish(); }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& via) override {
        via.send(answers.contains(call.member())
                     ? call.createReply(answers.value(call.member()))
                     : call.createErrorReply(QDBusError::UnknownMethod, call.member()));
        return true;
    }
    void appear() {
        connection = bus.connect();
        connection->registerVirtualObject("/", this, QDBusConnection::SubPath);
        QVERIFY(connection->registerService(name));
    }
    void vanish() {
        if (connection) {
            const QString id = connection->name();
            connection.reset();
            QDBusConnection::disconnectFromBus(id);
            QTRY_VERIFY_WITH_TIMEOUT(!bus.watcher->interface()->isServiceRegistered(name).value(),
                                     patience);
        }
    }
    void emitSignal(const QString& path, const QString& interface, const QString& member,
                    const QVariantList& arguments = {}) {
        QDBusMessage message = QDBusMessage::createSignal(path, interface, member);
        message.setArguments(arguments);
        connection->send(message);
    }
};

const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/_32");
const QString saverKde = QStringLiteral("org.freedesktop.ScreenSaver");
const QString saverGnome = QStringLiteral("org.gnome.ScreenSaver");

// logind, both screen savers and one idle monitor ("GNOME", "KDE" or none).
struct Desk {
    StandIn logind, kde, gnome, mutter;
    QString idleFrom;

    Desk(const Bus& system, const Bus& session, const QString& idleMonitor)
        : logind(system, "org.freedesktop.login1"), kde(session, saverKde),
          gnome(session, saverGnome), mutter(session, "org.gnome.Mutter.IdleMonitor"),
          idleFrom(idleMonitor) {
        logind.answers["GetSessionByPID"] = QVariant::fromValue(QDBusObjectPath(sessionPath));
        lockedHint(false);
        kde.answers["GetActive"] = gnome.answers["GetActive"] = false;
        idleFor(0);
        for (StandIn* service : {&logind, &kde, &gnome, &mutter}) {
            service->appear();
        }
    }
    void lockedHint(bool locked) {
        logind.answers["Get"] = QVariant::fromValue(QDBusVariant(locked));
    }
    void idleFor(qint64 seconds) {
        if (idleFrom == "KDE") {
            kde.answers["GetSessionIdleTime"] = quint32(seconds * 1000);
        } else if (idleFrom == "GNOME") {
            mutter.answers["GetIdletime"] = quint64(seconds * 1000);
        }
    }
    // Locks or unlocks the way `how` says.
    void lock(const QString& how, bool locked) {
        if (how == "logind signal") {
            logind.emitSignal(sessionPath, "org.freedesktop.login1.Session",
                              locked ? "Lock" : "Unlock");
        } else if (how == "LockedHint") {
            lockedHint(locked);
            logind.emitSignal(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                              {"org.freedesktop.login1.Session",
                               QVariantMap{{"LockedHint", locked}}, QStringList()});
        } else if (how == "sleep") {
            logind.emitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                              "PrepareForSleep", {locked});
        } else {
            StandIn& saver = how == saverKde ? kde : gnome;
            saver.answers["GetActive"] = locked;
            saver.emitSignal(how == saverKde ? "/org/freedesktop/ScreenSaver"
                                             : "/org/gnome/ScreenSaver",
                             how, "ActiveChanged", {locked});
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

    // An app on the private buses, with the stand-in services there.
    AppState& launch(const QByteArray& preferences, const QString& idleFrom = "GNOME") {
        m_desk = std::make_unique<Desk>(*m_system, *m_session, idleFrom);
        m_rig = std::make_unique<AppRig>(preferences, false);
        AppState& state = m_rig->launch([this](AppStateEnvironment& env) {
            env.presence.systemBus = std::bind(&Bus::connect, m_system.get());
            env.presence.sessionBus = std::bind(&Bus::connect, m_session.get());
            env.presence.askX11 = false;
        });
        // Signals sent before the app has found its session would pass it by.
        static_cast<void>(
            QTest::qWaitFor([&] { return !state.presence().loginSession().isEmpty(); }, patience));
        return state;
    }
    void elapse(std::chrono::seconds time) {
        m_rig->clock.advance(double(time.count()));
        m_rig->timers.advance(time);
    }
    void waitPaused(bool paused) {
        QTRY_COMPARE_WITH_TIMEOUT(m_rig->state->presence().isPaused(), paused, patience);
    }
    void lock(const QString& how, bool locked) {
        m_desk->lock(how, locked);
        waitPaused(locked);
    }

private Q_SLOTS:
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

    // Locked or asleep, nothing counts down and no overlay comes; back within
    // awayResetSeconds the countdowns go on, after it they start over.
    void lockedOrAsleep_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("minutes");
        QTest::newRow("logind signals, 4 min") << "logind signal" << 4;
        QTest::newRow("LockedHint, 6 min") << "LockedHint" << 6;
        QTest::newRow("KDE screen saver, 4 min") << saverKde << 4;
        QTest::newRow("GNOME screen saver, 6 min") << saverGnome << 6;
        QTest::newRow("asleep, 4 min") << "sleep" << 4;
        QTest::newRow("asleep, 6 min") << "sleep" << 6;
    }
    void lockedOrAsleep() {
        QFETCH(QString, how);
        QFETCH(int, minutes);
        const bool restarts = minutes * 60 >= PresenceMonitor::awayResetSeconds;
        AppState& s = launch("[General]\nstandReminderEnabled=true\nstandInterval=900\n"
                             "waterReminderEnabled=true\n");
        elapse(880s);
        lock(how, true);
        elapse(std::chrono::minutes(minutes)); // the stand reminder was due meanwhile
        QVERIFY(!s.overlayController().isShowing());
        QCOMPARE(s.standManager().secondsRemaining(), 20);
        lock(how, false);
        QCOMPARE(s.standManager().secondsRemaining(), restarts ? 900 : 20);
        QCOMPARE(s.waterManager().secondsRemaining(), restarts ? 2700 : 1820);
        elapse(20s);
        QCOMPARE(s.overlayController().currentType() == OverlayType::stand, !restarts);
    }

    // The slouch episode on screen ends at the lock, the camera goes, and it is asked for
    // again when the user is back; a lock while that question is open leaves the camera off.
    void lockDuringASlouchAlert() {
        AppState& s = launch("[General]\npostureMonitoringEnabled=true\n");
        m_rig->calibrate();
        m_rig->answer(true);
        QTRY_COMPARE(m_rig->cameras->open(), 1);
        for (int i = 0; i < PostureDetector::slouchRatioThreshold; ++i) {
            m_rig->frame(slouched());
        }
        QVERIFY(s.overlayController().currentType() == OverlayType::slouch);
        s.overlayController().show(OverlayType::stand, 0); // waiting behind it
        m_rig->clock.advance(7);
        lock("LockedHint", true);
        QTRY_VERIFY(!s.overlayController().isShowing() &&
                    s.overlayController().overlayQueue().isEmpty());
        QCOMPARE(s.postureLog().events().size(), 1);
        QCOMPARE(s.postureLog().events().at(0).duration, 7.0);
        QTRY_COMPARE(m_rig->cameras->alive(), 0);
        QCOMPARE(s.postureStatus(), PostureStatus::notMonitoring);
        QCOMPARE(s.cameraError().value_or(QString()), AppState::pausedMessage);
        QVERIFY(m_rig->settings->postureMonitoringEnabled());

        lock("LockedHint", false);
        QTRY_COMPARE(int(m_rig->permissionAsks.size()), 2);
        QVERIFY(!s.cameraError());
        lock("LockedHint", true);
        m_rig->permissionAsks.back()(true);
        m_rig->turn();
        QVERIFY(!s.isMonitoringRunning());
        lock("LockedHint", false);
        QTRY_COMPARE(int(m_rig->permissionAsks.size()), 3);
        m_rig->answer(true);
        QTRY_COMPARE(m_rig->cameras->open(), 1);
    }

    // An unlock without a lock changes nothing; a second lock does not start the absence
    // again.
    void straySignalsAndVanishingServices() {
        AppState& s = launch("[General]\nstandReminderEnabled=true\n");
        elapse(100s);
        m_desk->lock("logind signal", false);
        m_desk->lock(saverGnome, false);
        m_desk->lock("logind signal", true); // signals arrive in order: the stray ones are in
        waitPaused(true);
        QCOMPARE(s.standManager().secondsRemaining(), 1700);
        elapse(240s);
        m_desk->lock("logind signal", true);
        elapse(120s);
        lock("logind signal", false);
        QCOMPARE(s.standManager().secondsRemaining(), 1800);

        // A service that goes takes its word with it; one that comes is asked at once.
        m_desk->logind.vanish();
        m_desk->lockedHint(true);
        m_desk->logind.appear();
        waitPaused(true);
        m_desk->logind.vanish();
        waitPaused(false);
        lock(saverGnome, true);
        m_desk->gnome.vanish();
        waitPaused(false);
    }

    // Input idle for awayResetSeconds takes a break overlay down; input again starts the
    // countdowns over. The desktop is asked no more often than that needs.
    void idleInput_data() {
        QTest::addColumn<QString>("desktop");
        QTest::newRow("GNOME") << "GNOME";
        QTest::newRow("KDE") << "KDE";
    }
    void idleInput() {
        QFETCH(QString, desktop);
        AppState& s = launch("[General]\nstandReminderEnabled=true\nstandInterval=900\n"
                             "waterReminderEnabled=true\nautoDismissTimeout=0\n",
                             desktop);
        QTRY_VERIFY_WITH_TIMEOUT(s.presence().idleSeconds(), patience); // asked at launch
        QSignalSpy answers(&s.presence(), &PresenceMonitor::idleSecondsChanged);
        // Asked again when the answer could next reach awayResetSeconds; every
        // 15 s once away. The user leaves at 700 s; the stand overlay comes at 900 s.
        const struct {
            std::chrono::seconds after;
            qint64 idle;
            std::chrono::seconds nextAsk;
            bool standOverlay;
            qint64 standRemaining;
        } steps[] = {{300s, 0, 300s, false, 600},  {300s, 0, 300s, false, 300},
                     {300s, 200, 100s, true, 900}, {100s, 300, 15s, false, 800},
                     {15s, 315, 15s, false, 785},  {15s, 0, 300s, false, 900}};
        for (const auto& step : steps) {
            m_desk->idleFor(step.idle);
            elapse(step.after);
            QTRY_VERIFY_WITH_TIMEOUT(!answers.isEmpty(), patience);
            QCOMPARE(answers.takeFirst().at(0).value<std::optional<qint64>>(),
                     std::optional(step.idle));
            QCOMPARE(m_rig->timers.lastActiveInterval(), std::chrono::milliseconds(step.nextAsk));
            QCOMPARE(s.overlayController().isShowing(), step.standOverlay);
            QCOMPARE(s.standManager().secondsRemaining(), step.standRemaining);
        }
        QCOMPARE(s.waterManager().secondsRemaining(), 2700);
    }

    // Nobody seen for awayResetSeconds without a break is away too, input unknown; a
    // person seen is back.
    void nobodyAtTheDesk() {
        AppState& s = launch("[General]\nstandReminderEnabled=true\nstandInterval=900\n"
                             "autoDismissTimeout=0\npostureMonitoringEnabled=true\n",
                             QString());
        m_rig->calibrate();
        m_rig->answer(true);
        elapse(700s);
        QCOMPARE(m_rig->frame(nobody()), PostureStatus::noPersonDetected);
        elapse(100s);
        m_rig->frame(upright());
        elapse(50s);
        m_rig->frame(nobody());
        elapse(50s);
        m_rig->frame(nobody());
        QVERIFY(s.overlayController().currentType() == OverlayType::stand);
        elapse(249s);
        QVERIFY(s.overlayController().isShowing());
        elapse(1s);
        QVERIFY(!s.overlayController().isShowing());
        elapse(150s);
        m_rig->turn(); // unknown idleness is no sign of anyone
        QCOMPARE(s.standManager().secondsRemaining(), 500);
        m_rig->frame(upright());
        QCOMPARE(s.standManager().secondsRemaining(), 900);
    }
};

QTEST_MAIN(TestPresence)
#include "tst_presence.moc"
