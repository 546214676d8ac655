// Seeded working days: the real AppState (presence policy, monitoring control and posture
// detector, break reminders, overlay controller, posture log) on one simulated time source,
// with events drawn from a seed: lockers of every kind (GNOME, KDE, xss-lock with i3lock,
// swayidle with swaylock, a locker that crashes), sleeps whose wake signal is lost or followed
// by a late lock, clock steps, session buses that go away and come back, a full disk, a user
// who types, reads, slouches and leaves, overlays clicked or left, the panel's switches, Quit.
// After every event the invariants below are checked; a failure prints the seed and the day.
//
//   test_day_simulator                  2,000 days (seeds 1 to 2,000; 500 under AddressSanitizer)
//   test_day_simulator --days N         N days
//   test_day_simulator --seed S         only the day of seed S, its events printed
#include "overlay/OverlayView.h"
#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "stats/PostureLog.h"
#include "support/AppRig.h"
#include "support/QuietOffscreen.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSet>
#include <QTest>
#include <random>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
using std::chrono::milliseconds;

namespace {

#if defined(__SANITIZE_ADDRESS__)
int g_days = 500; // the same days, looked at for memory errors: three times as slow
#else
int g_days = 2000;
#endif
std::optional<quint64> g_seed;

enum class Lock { none, gnome, kde, xssLock, swayidle };
enum class Where { typing, reading, away };

const char* name(Lock lock) {
    const char* const names[] = {"none", "GNOME", "KDE", "xss-lock with i3lock",
                                 "swayidle with swaylock"};
    return names[int(lock)];
}

// One simulated day. What is true at the desk (the world) is kept beside what the app is
// told, so that the invariants can compare the two.
class Day {
public:
    explicit Day(quint64 seed) : m_seed(seed), m_random(seed), m_rig({}, false) {
        m_x11 = chance(0.5);
        m_rig.launch([this](AppStateEnvironment& env) {
            env.clock = [this] {
                return wall();
            };
            env.monotonic = [this] {
                return m_rig.timers.now();
            };
            env.updates.clock = env.clock;
            env.requestCameraPermission = [](QObject* context, std::function<void(bool)> yes) {
                QMetaObject::invokeMethod(
                    context, [yes] { yes(true); }, Qt::QueuedConnection);
            };
            // Two small outputs: the overlays are drawn, a day's worth of times.
            env.screens = [] {
                auto screens = std::make_unique<FakeScreens>();
                screens->add(1, QRect(0, 0, 160, 100));
                screens->add(2, QRect(160, 0, 128, 96));
                return screens;
            };
            env.presence.idleMs = [this]() -> std::optional<qint64> {
                return idleMs();
            };
            env.presence.keyboardHeld = [this]() -> std::optional<bool> {
                if (!m_x11) {
                    return std::nullopt; // Wayland: nobody can tell
                }
                return m_lock != Lock::none && !m_lockerCrashed;
            };
        });
        // Nobody looks at the pictures here: overlays are not drawn (it would be most of the
        // time a day takes).
        QObject::connect(m_rig.overlays, &OverlayWindowController::shown, m_rig.overlays, [this] {
            for (OverlayView* view : m_rig.overlays->panels()) {
                view->setUpdatesEnabled(false);
            }
        });
        if (chance(0.8)) {
            m_rig.state->togglePostureMonitoring(true);
        }
        if (chance(0.7)) {
            m_rig.state->toggleStandReminder(true);
        }
        if (chance(0.5)) {
            m_rig.state->toggleWaterReminder(true);
        }
        m_rig.calibrate();
        m_typingSince = now();
        settle();
    }

    // Runs the day; the first broken invariant, if any.
    std::optional<QString> run() {
        const milliseconds end = 8h;
        while (now() < end && !m_quit) {
            pass(milliseconds(pick(1000, 240000)));
            event();
            if (const auto broken = check()) {
                return broken;
            }
        }
        return std::nullopt;
    }

    QStringList events() const { return m_events; }

private:
    // ---- Time ----

    milliseconds now() const { return m_rig.timers.now(); }
    QDateTime wall() const { return m_start.addMSecs(now().count() + m_wallOffset); }
    std::optional<qint64> idleMs() {
        if (m_where == Where::typing && m_lock == Lock::none && !m_asleep) {
            // Somebody typing: the last key a moment ago.
            m_lastInput = std::max(m_lastInput, now() - milliseconds(pick(0, 1500)));
        }
        return (now() - m_lastInput).count();
    }
    // Time passes: timers fire, and the camera sees the desk twice a minute.
    void pass(milliseconds time) {
        const milliseconds target = now() + time;
        while (now() < target) {
            m_rig.timers.advance(std::min(30000ms, target - now()));
            settle();
            if (m_rig.monitoring->isRunning() && m_rig.monitoring->postureDetector()) {
                const bool there = m_where != Where::away && m_lock == Lock::none && !m_asleep;
                m_rig.frame(!there ? nobody() : m_slouching ? slouched() : upright());
            }
            if (const auto broken = check()) {
                m_broken = broken;
            }
        }
    }
    static void settle() { AppRig::turn(); }

    // ---- Randomness ----

    bool chance(double p) { return std::bernoulli_distribution(p)(m_random); }
    qint64 pick(qint64 from, qint64 to) {
        return std::uniform_int_distribution<qint64>(from, to)(m_random);
    }
    void note(const QString& what) {
        m_events << QStringLiteral("%1 %2").arg(now().count() / 1000).arg(what);
    }

    // ---- Events ----

    void event() {
        using Event = void (Day::*)();
        static constexpr Event events[] = {
            &Day::userMoves,        &Day::userMoves, &Day::userMoves,
            &Day::slouches,         &Day::lock,      &Day::unlock,
            &Day::sleepAndWake,     &Day::stepClock, &Day::busGoesAndComesBack,
            &Day::clicksTheOverlay, &Day::panel,     &Day::fullDisk,
            &Day::lockerCrashes,    &Day::mayQuit};
        (this->*events[pick(0, 13)])();
        settle();
    }

    void slouches() {
        m_slouching = !m_slouching;
        note(m_slouching ? "slouches" : "sits up");
    }

    void clicksTheOverlay() {
        if (m_rig.overlays->isShowing() && m_where != Where::away) {
            note("clicks the overlay");
            m_rig.overlays->dismiss();
        }
    }

    void userMoves() {
        const Where where = Where(pick(0, 2));
        if (where == m_where) {
            return;
        }
        note(where == Where::typing ? "types" : where == Where::reading ? "reads" : "leaves");
        if (where == Where::typing) {
            m_typingSince = now();
            m_lastInput = now();
        }
        m_where = where;
    }

    void lock() {
        if (m_lock != Lock::none || m_asleep) {
            return;
        }
        const Lock kinds[] = {Lock::gnome, Lock::kde, m_x11 ? Lock::xssLock : Lock::swayidle};
        m_lock = kinds[pick(0, 2)];
        m_lockerCrashed = false;
        note(QStringLiteral("locks (%1)").arg(name(m_lock)));
        PresencePolicy& policy = m_rig.presence->policy();
        switch (m_lock) {
        case Lock::gnome:
        case Lock::kde:
            if (chance(0.5)) {
                policy.lockRequested();
            }
            policy.lockerReported(Locker::logindHint, true);
            policy.lockerReported(saver(), true);
            break;
        default:
            policy.lockRequested(); // and nothing else is ever said
            break;
        }
        if (chance(0.7)) {
            m_where = Where::away;
        }
    }

    void unlock() {
        if (m_lock == Lock::none || m_asleep) {
            return;
        }
        note("unlocks");
        PresencePolicy& policy = m_rig.presence->policy();
        if ((m_lock == Lock::gnome || m_lock == Lock::kde) && !m_lockerCrashed) {
            policy.lockerReported(saver(), false);
            policy.lockerReported(Locker::logindHint, false);
        }
        m_lock = Lock::none;
        m_lockerCrashed = false;
        m_openSince = now();
        m_where = Where::typing;
        m_typingSince = now();
        m_lastInput = now();
    }

    // GNOME's or KDE's locker dies: the screen is open, its saver has left the bus, and
    // logind's hint still says locked.
    void lockerCrashes() {
        if ((m_lock != Lock::gnome && m_lock != Lock::kde) || m_asleep) {
            return;
        }
        note("the locker crashes");
        m_rig.presence->policy().lockerReported(saver(), false);
        m_lock = Lock::none;
        m_lockerCrashed = true;
        m_openSince = now();
    }

    void sleepAndWake() {
        if (m_asleep) {
            return;
        }
        PresencePolicy& policy = m_rig.presence->policy();
        if (m_lock == Lock::none && chance(0.5)) {
            lock(); // xss-lock and GNOME lock before the sleep
        }
        note("sleeps");
        m_asleep = true;
        m_where = Where::away;
        policy.sleepReported(true);
        settle();
        m_rig.timers.advance(milliseconds(pick(1000, 3600000))); // timers stand still asleep:
        // the monotonic clock counts the sleep all the same
        m_asleep = false;
        m_openSince = now();
        if (chance(0.7)) {
            note("wakes");
            policy.sleepReported(false);
        } else {
            note("wakes (the signal is lost)");
        }
        settle();
        if (chance(0.3) && m_lock == Lock::none) {
            pass(milliseconds(pick(1000, 8000)));
            lock(); // a locker that locks on waking
        }
    }

    void stepClock() {
        const qint64 step = chance(0.5) ? 3600000 : -3600000;
        note(QStringLiteral("the clock is set %1 1 h").arg(step > 0 ? "on" : "back"));
        m_wallOffset += step;
    }

    // The session bus goes away and is back a little later; the lockers on it say again what
    // they say.
    void busGoesAndComesBack() {
        note("the session bus goes away");
        PresencePolicy& policy = m_rig.presence->policy();
        policy.lockerLost(Locker::gnomeSaver);
        policy.lockerLost(Locker::freedesktopSaver);
        pass(milliseconds(pick(1000, 60000)));
        note("the session bus is back");
        const bool saverUp = (m_lock == Lock::gnome || m_lock == Lock::kde) && !m_lockerCrashed;
        policy.lockerReported(Locker::gnomeSaver, saverUp && m_lock == Lock::gnome);
        policy.lockerReported(Locker::freedesktopSaver, saverUp && m_lock == Lock::kde);
    }

    void panel() {
        if (m_where != Where::typing || m_lock != Lock::none || m_asleep) {
            return; // nobody at the panel
        }
        switch (pick(0, 3)) {
        case 0:
            note("switches monitoring");
            m_rig.state->togglePostureMonitoring(!m_rig.state->postureMonitoringEnabled());
            break;
        case 1:
            note("switches the stand reminder");
            m_rig.state->toggleStandReminder(!m_rig.state->standReminderEnabled());
            break;
        case 2:
            note("switches the water reminder");
            m_rig.state->toggleWaterReminder(!m_rig.state->waterReminderEnabled());
            break;
        case 3:
            note("tests an overlay");
            m_rig.state->testOverlay();
            break;
        }
    }

    void fullDisk() {
        if (m_fullDisk) {
            note("the disk has room again");
            m_fullDisk.reset();
            return;
        }
        note("the disk is full");
        m_fullDisk = std::make_unique<FileSizeLimit>(
            std::max<qint64>(1, QFileInfo(m_rig.log->filePath()).size()));
    }

    void mayQuit() {
        if (!chance(0.05)) {
            return;
        }
        note("quits");
        const bool alert = m_rig.monitoring->postureDetector() &&
                           m_rig.monitoring->postureDetector()->slouchAlertActive();
        const qsizetype before = m_rig.log->events().size();
        m_rig.state->shutdown();
        if (alert && m_rig.log->events().size() != before + 1) {
            m_broken = QStringLiteral("a slouch episode under way at quit was not logged");
        }
        m_quit = true;
    }

    Locker saver() const {
        return m_lock == Lock::gnome ? Locker::gnomeSaver : Locker::freedesktopSaver;
    }

    // ---- Invariants ----

    std::optional<QString> check() {
        if (m_broken) {
            return m_broken;
        }
        const PresencePolicy& policy = m_rig.presence->policy();
        const bool paused = policy.isPaused();
        // A user typing at an open, awake screen for a minute is neither paused nor away.
        if (m_where == Where::typing && m_lock == Lock::none && !m_asleep &&
            now() - std::max(m_typingSince, m_openSince) >= 60s && (paused || policy.isAway())) {
            return QStringLiteral("typing at an open screen for a minute, and %1")
                .arg(paused ? "paused" : "away");
        }
        // The camera is off while a locker that says so, or holds the keyboard, is up.
        const bool lockerKnown =
            m_lock == Lock::gnome || m_lock == Lock::kde || m_lock == Lock::xssLock;
        if (m_rig.monitoring->isRunning() && (m_asleep || lockerKnown)) {
            return QStringLiteral("the camera is on while %1")
                .arg(m_asleep ? QStringLiteral("asleep")
                              : QStringLiteral("locked by %1").arg(name(m_lock)));
        }
        // No overlay while paused or away.
        if (m_rig.overlays->isShowing() && (paused || policy.isAway())) {
            return QStringLiteral("an overlay is up while %1").arg(paused ? "paused" : "away");
        }
        // Every episode lasts from 0 to the monotonic time it spanned.
        const QList<PostureEvent>& logged = m_rig.log->events();
        for (qsizetype i = m_episodesChecked; i < logged.size(); ++i) {
            const double limit = double((now() - m_alertDownAt).count()) / 1000.0 + 0.001;
            if (logged[i].duration < 0 || logged[i].duration > limit) {
                return QStringLiteral("an episode of %1 s, longer than the %2 s it spanned")
                    .arg(logged[i].duration)
                    .arg(limit);
            }
        }
        m_episodesChecked = logged.size();
        // No episode logged later is longer than the time since the alert was last seen down.
        PostureDetector* detector = m_rig.monitoring->postureDetector();
        if (!detector || !detector->slouchAlertActive()) {
            m_alertDownAt = now();
        }
        // The log on disk never loses an event it held.
        const QSet<QString> onDisk = idsOnDisk();
        for (const QString& id : std::as_const(m_idsOnDisk)) {
            if (!onDisk.contains(id)) {
                return QStringLiteral("the log on disk lost event %1").arg(id);
            }
        }
        m_idsOnDisk = onDisk;
        return std::nullopt;
    }

    QSet<QString> idsOnDisk() const {
        QFile file(m_rig.log->filePath());
        QSet<QString> ids;
        if (!file.open(QIODevice::ReadOnly)) {
            return ids;
        }
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        for (const QJsonValue& event : document.array()) {
            ids.insert(event.toObject().value(QStringLiteral("id")).toString());
        }
        return ids;
    }

    const quint64 m_seed;
    std::mt19937_64 m_random;
    AppRig m_rig;
    QDateTime m_start = utcDateTime(QDate(2026, 12, 7), QTime(9, 0));
    qint64 m_wallOffset = 0;
    bool m_x11 = false;
    Lock m_lock = Lock::none;
    bool m_lockerCrashed = false;
    bool m_asleep = false;
    milliseconds m_openSince{0}; // the screen open and the computer awake since
    Where m_where = Where::typing;
    bool m_slouching = false;
    milliseconds m_typingSince{0};
    milliseconds m_lastInput{0};
    milliseconds m_alertDownAt{0};
    qsizetype m_episodesChecked = 0;
    QSet<QString> m_idsOnDisk;
    std::unique_ptr<FileSizeLimit> m_fullDisk;
    bool m_quit = false;
    std::optional<QString> m_broken;
    QStringList m_events;
};

} // namespace

class TestDaySimulator : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        silenceOffscreenWindowWarnings();
        if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) {
            QLoggingCategory::setFilterRules(QStringLiteral("quorvel.*=false"));
        }
    }

    void days() {
        const quint64 first = g_seed.value_or(1);
        const quint64 last = g_seed ? *g_seed : quint64(g_days);
        for (quint64 seed = first; seed <= last; ++seed) {
            std::optional<QString> broken;
            {
                Day day(seed);
                broken = day.run();
                if (g_seed || broken) {
                    qInfo().noquote() << "seed" << seed << "\n  " << day.events().join("\n   ");
                }
            }
            // No event loop runs here: what the day left for deletion goes now.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY2(!broken, qPrintable(QStringLiteral("seed %1: %2 (replay: --seed %1)")
                                             .arg(seed)
                                             .arg(broken.value_or(QString()))));
        }
        qInfo("%llu day(s), every invariant held", last - first + 1);
    }
};

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--days" && i + 1 < argc) {
            g_days = QByteArray(argv[++i]).toInt();
            continue;
        }
        if (arg == "--seed" && i + 1 < argc) {
            g_seed = QByteArray(argv[++i]).toULongLong();
            continue;
        }
        args.push_back(argv[i]);
    }
    // Every log and settings write is flushed to the disk; on a disk that is most of a day's
    // time, so the days' folders go to memory where the system has it.
    if (qEnvironmentVariableIsEmpty("TMPDIR") &&
        QFileInfo(QStringLiteral("/dev/shm")).isWritable()) {
        qputenv("TMPDIR", "/dev/shm");
    }
    QApplication app(argc, argv);
    TestDaySimulator test;
    return QTest::qExec(&test, int(args.size()), args.data());
}

#include "tst_day_simulator.moc"
