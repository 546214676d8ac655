#pragma once

#include "common/TimerFactory.h"
#include "overlay/OverlayType.h"
#include "reminders/ReminderTimer.h"

#include <QObject>
#include <QPointer>
#include <memory>

namespace quorvel {

class OverlayWindowController;
class SettingsManager;

// What the stand and water reminders share: a countdown whose interval follows one
// setting, and that shows the reminder's overlay, with the auto-dismiss time set at that
// moment, each time it runs out. The countdown goes on while the overlay is up.
//
// The panel reads the remaining time here or on timer(); the signals are the timer's,
// with the same meaning (objectWillChange() first, then the new value while the getters
// still give the old one).
class ReminderManager : public QObject {
    Q_OBJECT

public:
    ~ReminderManager() override;

    void start();
    void stop();
    // While the user is away: hold the countdown, go on from where it was, or begin a full
    // cycle (see ReminderTimer).
    void pause() { m_timer->pause(); }
    void resume() { m_timer->resume(); }
    void restart() { m_timer->restart(); }

    ReminderTimer& timer() { return *m_timer; }
    const ReminderTimer& timer() const { return *m_timer; }
    bool isRunning() const { return m_timer->isRunning(); }
    qint64 secondsRemaining() const { return m_timer->secondsRemaining(); }
    QString formattedTimeRemaining() const { return m_timer->formattedTimeRemaining(); }
    OverlayType overlayType() const { return m_type; }

Q_SIGNALS:
    void objectWillChange();
    void isRunningChanged(bool value);
    void secondsRemainingChanged(qint64 value);

protected:
    ReminderManager(OverlayType type, OverlayWindowController& overlayController,
                    SettingsManager& settings, qint64 intervalSeconds, TimerFactory timers,
                    QObject* parent);

    // Applies a new value of the followed interval setting.
    void intervalChanged(qint64 seconds);
    // An interval setting that is not a positive number of seconds falls back to the default.
    static qint64 usableInterval(qint64 seconds, qint64 fallback);

    SettingsManager& m_settings;

private:
    void triggerOverlay();

    OverlayType m_type;
    QPointer<OverlayWindowController> m_overlayController;
    std::unique_ptr<ReminderTimer> m_timer;
};

} // namespace quorvel
