#pragma once

#include "common/TimerFactory.h"

#include <QObject>
#include <QString>
#include <functional>

namespace quorvel {

// A repeating countdown in whole seconds. Once started it ticks once a second on the event
// loop, calls onFired when it reaches zero and starts over from the full interval, until
// stopped. Observable: objectWillChange() before each assignment, then the property's own
// signal with the new value. Main thread only.
class ReminderTimer : public QObject {
    Q_OBJECT

public:
    // Does not start. Intervals below one second count as one second.
    ReminderTimer(qint64 intervalSeconds, std::function<void()> onFired,
                  TimerFactory timers = eventLoopTimers(), QObject* parent = nullptr);
    ~ReminderTimer() override;

    qint64 secondsRemaining() const { return m_secondsRemaining; }
    bool isRunning() const { return m_isRunning; }
    qint64 intervalSeconds() const { return m_intervalSeconds; }

    // Starts a full cycle; does nothing while running.
    void start();
    // Stops and clears the remaining time.
    void stop();
    // Sets the remaining time to the full interval, running or not.
    void reset();
    // A running countdown restarts its cycle from the new interval at once; a stopped one
    // uses it at the next start().
    void updateInterval(qint64 seconds);

    // Holds a running countdown where it is: no ticks, the remaining time kept, still
    // running. Does nothing when stopped or already paused.
    void pause();
    // Ticks on from where pause() left it, the first tick a second later.
    void resume();
    // Begins a full cycle now, from a paused countdown too (which then runs). Does nothing
    // when stopped.
    void restart();
    bool isPaused() const { return m_isPaused; }

    // "M:SS": 1800 s → "30:00", 59 → "0:59", 3600 → "60:00".
    QString formattedTimeRemaining() const;
    static QString formatTimeRemaining(qint64 seconds);

Q_SIGNALS:
    void objectWillChange();
    void secondsRemainingChanged(qint64 value);
    void isRunningChanged(bool value);

private:
    void tick();
    void startTicking();
    void setSecondsRemaining(qint64 value);
    void setIsRunning(bool value);

    qint64 m_intervalSeconds;
    std::function<void()> m_onFired;
    TimerFactory m_timers;
    TimerHandle m_cancellable;
    qint64 m_secondsRemaining = 0;
    bool m_isRunning = false;
    bool m_isPaused = false;
};

} // namespace quorvel
