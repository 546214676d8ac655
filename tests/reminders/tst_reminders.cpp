#include "reminders/ReminderTimer.h"
#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "settings/SettingsManager.h"
#include "support/FakeTimers.h"
#include "support/TestSupport.h"

#include <QTest>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;

namespace {

// What the reminders ask of the overlays, written down: no window is needed.
struct RecordedOverlays : OverlayRequests {
    QList<std::pair<OverlayType, qint64>> shown;
    void show(OverlayType type, qint64 autoDismissSeconds) override {
        shown.append({type, autoDismissSeconds});
    }
    void withdraw(OverlayType) override {}
};

// Reminders on a virtual clock.
struct Rig : StoreAndTimers {
    RecordedOverlays overlays;
};

} // namespace

class TestReminders : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void countsDownFiresAndStartsOver() {
        FakeTimers timers;
        int fired = 0;
        ReminderTimer timer(
            3, [&fired] { ++fired; }, timers.factory());
        QCOMPARE(timer.secondsRemaining(), 0);
        timer.start();
        timers.advance(2999ms);
        QCOMPARE(fired, 0);
        timers.advance(1ms);
        QCOMPARE(fired, 1);
        QCOMPARE(timer.secondsRemaining(), 3);
        timers.advance(3s);
        QCOMPARE(fired, 2);

        timer.start(); // running: the cycle goes on untouched
        timers.advance(1s);
        QCOMPARE(timer.secondsRemaining(), 2);

        // The shortest cycle fires on every tick; a broken interval means that shortest one.
        ReminderTimer broken(
            -20, [&fired] { ++fired; }, timers.factory());
        broken.start();
        timer.stop();
        timers.advance(5s);
        QCOMPARE(fired, 7);
        QCOMPARE(broken.secondsRemaining(), 1);

        // What it calls may stop it.
        std::unique_ptr<ReminderTimer> stopping;
        stopping = std::make_unique<ReminderTimer>(
            2, [&stopping] { stopping->stop(); }, timers.factory());
        stopping->start();
        timers.advance(5s);
        QVERIFY(!stopping->isRunning());
        QCOMPARE(stopping->secondsRemaining(), 0);
    }

    void intervalSettingsAreFollowed() {
        Rig rig;
        StandReminderManager stand(rig.overlays, rig.settings, rig.timers.factory());
        WaterReminderManager water(rig.overlays, rig.settings, rig.timers.factory());
        stand.start();
        water.start();
        rig.timers.advance(200s);

        rig.settings.setStandInterval(900);
        QCOMPARE(stand.secondsRemaining(), 900);
        QCOMPARE(water.secondsRemaining(), 2500);

        rig.settings.setWaterInterval(1200);
        QCOMPARE(water.secondsRemaining(), 1200);
        QCOMPARE(stand.secondsRemaining(), 900);

        // A hand-edited zero would fire every second: the default is used instead.
        rig.settings.setStandInterval(0);
        QCOMPARE(stand.secondsRemaining(), 1800);

        // Stopped: no countdown, no overlay, and a new interval waits for the next start.
        stand.stop();
        rig.settings.setStandInterval(1200);
        QCOMPARE(stand.formattedTimeRemaining(), QStringLiteral("0:00"));
        water.stop();
        rig.timers.advance(5000s);
        QVERIFY(rig.overlays.shown.isEmpty());
        stand.start();
        QCOMPARE(stand.secondsRemaining(), 1200);

        // Due: its overlay, kept up for the auto-dismiss time of that moment.
        rig.settings.setAutoDismissTimeout(60);
        rig.timers.advance(1200s);
        QCOMPARE(rig.overlays.shown,
                 (QList<std::pair<OverlayType, qint64>>{{OverlayType::stand, 60}}));
    }

    // Countdowns on shared ticks wake the loop once a second together, the latecomer from
    // the next tick on; the tick stops with the last of them. Other timers pass through.
    void countdownsShareOneTick() {
        FakeTimers timers;
        const TimerFactory shared = sharedSecondTicks(timers.factory());
        ReminderTimer a(60, {}, shared);
        ReminderTimer b(60, {}, shared);
        a.start();
        timers.advance(1500ms);
        b.start();
        QCOMPARE(timers.activeCount(), 1);
        timers.advance(500ms);
        QCOMPARE(a.secondsRemaining(), 58);
        QCOMPARE(b.secondsRemaining(), 59);
        TimerHandle once = shared(5s, false, [] {});
        QCOMPARE(timers.activeCount(), 2);
        once.reset();
        a.stop();
        timers.advance(1s);
        QCOMPARE(b.secondsRemaining(), 58);
        b.stop();
        QCOMPARE(timers.activeCount(), 0);
    }

    // The event loop's timers call their handlers from the timer event itself: a handler may
    // end its own timer, which is not called again, and what the handler holds lives until
    // it returns. A one-shot that is due but not yet delivered goes with its handle.
    void timerHandlerMayEndItsOwnTimer() {
        const TimerFactory timers = eventLoopTimers();
        TimerHandle repeating;
        int calls = 0;
        repeating = timers(0ms, true, [&, held = QStringLiteral("held")] {
            if (++calls == 3) {
                repeating.reset();
                QCOMPARE(held, "held");
            }
        });
        for (int i = 0; i < 10; ++i) {
            QCoreApplication::processEvents();
        }
        QCOMPARE(calls, 3);
        bool fired = false;
        TimerHandle once = timers(0ms, false, [&] { fired = true; });
        once.reset();
        QCoreApplication::processEvents();
        QVERIFY(!fired);
    }
};

QTEST_GUILESS_MAIN(TestReminders)
#include "tst_reminders.moc"
