// The presence policy alone: signs handed in by the test, a clock and timers it moves, and
// the reminders' side recorded as a log of what the policy asked for, with its time.
#include "presence/PresencePolicy.h"
#include "support/FakeTimers.h"
#include "support/TestSupport.h"

#include <QTest>

using namespace quorvel;
using namespace quorvel::test;

namespace {

struct Rig final : BreakControls {
    FakeTimers timers;
    QDateTime start = FakeClock().now();
    std::optional<QDateTime> lastInput = start; // nothing: nobody can tell
    QList<OverlayType> breaksUp;                // what a withdrawal finds
    std::optional<bool> keyboardHeld = false;   // by a locker; nothing: nobody can tell
    QStringList log;
    PresencePolicy policy;

    Rig()
        : policy(
              *this,
              {[this](auto answer) {
                   answer(lastInput ? std::optional(lastInput->msecsTo(now())) : std::nullopt);
               },
               [this] { note("asks if asleep"); },
               [this] {
                   return keyboardHeld;
               }},
              [this] { return timers.now(); }, timers.factory()) {
        QObject::connect(&policy, &PresencePolicy::paused, [this] { note("paused"); });
        QObject::connect(&policy, &PresencePolicy::resumed,
                         [this](bool taken) { note(taken ? "resumed: a break" : "resumed"); });
        QObject::connect(&policy, &PresencePolicy::awayReached, [this] { note("away"); });
        QObject::connect(&policy, &PresencePolicy::returned, [this] { note("back"); });
        policy.setRemindersRunning(true);
    }

    // Moves time to `mmss` ("m:ss" since the start), firing what falls due on the way.
    Rig& at(const char* mmss) {
        const QStringList parts = QString::fromLatin1(mmss).split(u':');
        const qint64 target = parts[0].toLongLong() * 60 + parts[1].toLongLong();
        timers.advance(std::chrono::milliseconds(target * 1000 - start.msecsTo(now())));
        return *this;
    }
    QDateTime now() const { return start.addMSecs(timers.now().count()); }
    void input() { lastInput = now(); }

    void note(const QString& what) {
        const qint64 s = start.secsTo(now());
        log << QStringLiteral("%1:%2 %3").arg(s / 60).arg(s % 60, 2, 10, QChar(u'0')).arg(what);
    }
    void holdCountdowns() override { note("hold"); }
    void continueCountdowns() override { note("continue"); }
    void restartCountdowns() override { note("restart"); }
    QList<OverlayType> withdrawBreakOverlays() override {
        for (OverlayType type : breaksUp) {
            note("withdraw " + rawValue(type));
        }
        return std::exchange(breaksUp, {});
    }
    void showBreakOverlay(OverlayType type) override { note("show " + rawValue(type)); }
};

} // namespace

class TestPresencePolicy : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A lock request no locker confirms (xss-lock with i3lock, swayidle with swaylock) and a
    // sleep whose end is lost both end with the first input after them; the key that locked
    // is no input after the lock. A locker's own report is not ended by input (the password
    // typed into it), only by the locker, after a moment to see it is not taken back.
    void everyPauseEnds() {
        Rig rig;
        rig.at("0:00").input();
        rig.policy.lockRequested();
        rig.at("40:00").input();
        rig.at("40:20").policy.sleepReported(true); // and the wake is never told
        rig.at("41:00").input();
        rig.at("41:30");
        qInfo() << rig.log;
        QCOMPARE(rig.log, (QStringList{"0:00 hold", "0:00 paused", "40:15 restart",
                                       "40:15 resumed: a break", "40:20 hold", "40:20 paused",
                                       "40:50 asks if asleep", "41:20 continue", "41:20 resumed"}));

        rig.log.clear();
        rig.policy.lockerReported(Locker::logindHint, true);
        rig.at("45:00").input();
        rig.at("46:00").policy.lockerReported(Locker::logindHint, false);
        rig.at("46:02").policy.lockerReported(Locker::gnomeSaver, true); // taken back
        rig.policy.lockerReported(Locker::gnomeSaver, false);
        rig.at("46:04");
        QCOMPARE(rig.policy.pauseReason(), std::optional(PauseReason::locked));
        rig.at("46:05");
        QVERIFY(!rig.policy.pauseReason());

        // A press in the panel: whoever pressed it is there.
        rig.policy.lockerReported(Locker::freedesktopSaver, true);
        rig.at("47:00").policy.userActed();
        QCOMPARE(rig.log,
                 (QStringList{"41:30 hold", "41:30 paused", "46:05 continue", "46:05 resumed",
                              "46:05 hold", "46:05 paused", "47:00 continue", "47:00 resumed"}));
    }

    // logind's hint outlives the locker that set it: once a screen saver contradicts it (says
    // it is not active, or leaves the bus, which reads the same), input ends the pause as for
    // a locker that reports nothing, and the stale hint pauses no more until it changes.
    void aStaleHintEndsWithInput() {
        for (const Locker saver : {Locker::gnomeSaver, Locker::freedesktopSaver}) {
            Rig rig;
            rig.policy.lockerReported(saver, false); // on the bus, not active
            rig.policy.lockerReported(Locker::logindHint, true);
            rig.policy.lockerReported(saver, true); // GNOME's or KDE's lock
            rig.at("5:00").input();                 // the password typed into the locker
            rig.at("6:00").policy.lockerReported(saver, false); // the locker crashed
            rig.at("7:00").input();
            rig.at("8:00");
            QCOMPARE(rig.log, (QStringList{"0:00 hold", "0:00 paused", "7:15 restart",
                                           "7:15 resumed: a break"}));

            // Stale from the start: an app started under it still monitors once typed at.
            Rig late;
            late.policy.lockerReported(Locker::logindHint, true);
            late.policy.lockerReported(saver, false);
            late.at("0:30").input();
            late.at("1:00");
            QVERIFY(!late.policy.isPaused());
            late.policy.lockerReported(Locker::logindHint, false);
            late.policy.lockerReported(Locker::logindHint, true);
            QVERIFY(late.policy.isPaused());
        }
    }

    // xss-lock with i3lock: nothing reports the lock, but i3lock holds the keyboard, so a
    // mouse moved at the lock screen is no return; once i3lock has gone, input is. Where
    // nobody can tell (Wayland), input ends the pause as before.
    void aLockerThatHoldsTheKeyboard() {
        Rig rig;
        rig.policy.lockRequested();
        rig.keyboardHeld = true;
        rig.at("10:00").input();
        rig.at("11:00").input();
        rig.at("11:30");
        QVERIFY(rig.policy.isPaused());
        rig.keyboardHeld = false; // unlocked
        rig.at("12:00").input();
        rig.at("12:20");
        QCOMPARE(rig.log, (QStringList{"0:00 hold", "0:00 paused", "12:15 restart",
                                       "12:15 resumed: a break"}));

        Rig wayland;
        wayland.keyboardHeld.reset();
        wayland.policy.lockRequested();
        wayland.at("1:00").input();
        wayland.at("1:20");
        QVERIFY(!wayland.policy.isPaused());
    }

    // A locker that locks a few seconds after the wake, told or not: the pause goes on from
    // the sleep into the lock, with no resume (and no camera) in between.
    void aLockJustAfterTheWake() {
        for (const bool wakeTold : {true, false}) {
            Rig rig;
            rig.policy.sleepReported(true);
            rig.at("0:20");
            if (wakeTold) {
                rig.policy.sleepReported(false);
            } else {
                rig.input(); // the lid opened, a key pressed; the end of the sleep is lost
            }
            rig.at("0:30").policy.lockerReported(Locker::logindHint, true);
            rig.at("10:00").input(); // the password
            rig.policy.lockerReported(Locker::logindHint, false);
            rig.at("10:10");
            QStringList expected{"0:00 hold", "0:00 paused", "10:03 restart",
                                 "10:03 resumed: a break"};
            if (!wakeTold) {
                expected.insert(2, "0:30 asks if asleep");
            }
            QCOMPARE(rig.log, expected);
        }
    }

    // Someone typing all along answers "a moment ago" every time: the idle time did not grow
    // with the time between two answers, which is input even though it never shrank.
    void typingAllAlongIsInput() {
        Rig rig;
        rig.policy.lockRequested();
        for (int s = 1; s <= 60; ++s) {
            rig.at(qPrintable(QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar(u'0'))));
            rig.input();
        }
        QCOMPARE(rig.log,
                 (QStringList{"0:00 hold", "0:00 paused", "0:15 continue", "0:15 resumed"}));
    }

    // 2,000 lock signals in a burst, then a lock and an unlock every second for a thousand
    // seconds: one pause each, one resume a few seconds after the last signal (the long one a
    // break).
    void aStormIsOnePause() {
        Rig rig;
        for (int i = 0; i < 2000; ++i) {
            rig.policy.lockerReported(Locker::freedesktopSaver, i % 2 == 0);
        }
        rig.at("0:03");
        for (int i = 0; i < 1000; ++i) {
            rig.policy.lockerReported(Locker::gnomeSaver, true);
            rig.policy.lockerReported(Locker::gnomeSaver, false);
            rig.timers.advance(std::chrono::seconds(1));
        }
        rig.input();
        rig.at("16:50");
        QCOMPARE(rig.log, (QStringList{"0:00 hold", "0:00 paused", "0:03 continue", "0:03 resumed",
                                       "0:03 hold", "0:03 paused", "16:45 restart",
                                       "16:45 resumed: a break"}));
    }

    // A break overlay up at a lock comes back after a short one; after a long one the
    // countdowns start over instead.
    void aShortLockIsNoBreak() {
        Rig rig;
        rig.breaksUp = {OverlayType::stand, OverlayType::water};
        rig.policy.lockerReported(Locker::logindHint, true);
        rig.at("3:00");
        rig.policy.lockerReported(Locker::logindHint, false);
        rig.at("3:03");
        rig.breaksUp = {OverlayType::stand};
        rig.policy.lockerReported(Locker::logindHint, true);
        rig.at("9:00").input(); // the password
        rig.policy.lockerReported(Locker::logindHint, false);
        rig.at("9:03");
        QCOMPARE(rig.log,
                 (QStringList{"0:00 withdraw stand", "0:00 withdraw water", "0:00 hold",
                              "0:00 paused", "3:03 continue", "3:03 show stand", "3:03 show water",
                              "3:03 resumed", "3:03 withdraw stand", "3:03 hold", "3:03 paused",
                              "9:03 restart", "9:03 resumed: a break"}));
    }

    // Away takes both signs: a reader without input is present while the camera sees them,
    // and a frame or two without a person changes nothing. Away, the break overlays go and
    // the countdowns hold; input or a person in view is the user back.
    void awayTakesBothSigns() {
        Rig rig;
        rig.policy.setCameraWatching(true);
        for (const char* t : {"2:00", "4:00", "6:00", "8:00"}) {
            rig.at(t).policy.postureSeen(PostureStatus::good);
            rig.policy.postureSeen(PostureStatus::noPersonDetected);
        }
        rig.breaksUp = {OverlayType::stand};
        rig.at("12:59");
        QVERIFY(rig.log.isEmpty());
        rig.at("13:00");
        rig.at("20:00").policy.postureSeen(PostureStatus::slouching);
        rig.lastInput.reset(); // nobody can tell about input: the camera decides
        rig.policy.setRemindersRunning(false);
        rig.policy.setRemindersRunning(true);
        rig.at("34:00").input();
        rig.at("35:15");
        QCOMPARE(rig.log, (QStringList{"13:00 withdraw stand", "13:00 hold", "13:00 away",
                                       "20:00 restart", "20:00 back", "25:00 hold", "25:00 away",
                                       "35:15 restart", "35:15 back"}));
    }

    // Back by a panel action: the answer about input from before it is old news. What the
    // action sets off (monitoring switched on and the camera not found, say) must not send
    // the user away again before input is asked anew.
    void backByAnActionStaysBack() {
        Rig rig;
        rig.at("5:10").input();
        rig.policy.userActed();
        rig.policy.setCameraWatching(true);
        rig.policy.setCameraWatching(false);
        rig.at("9:00");
        QCOMPARE(rig.log, (QStringList{"5:00 hold", "5:00 away", "5:10 restart", "5:10 back"}));
    }
};

QTEST_GUILESS_MAIN(TestPresencePolicy)
#include "tst_presence_policy.moc"
