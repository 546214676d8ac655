#pragma once

#include "common/OverlayRequests.h"
#include "common/TimerFactory.h"
#include "reminders/ReminderTimer.h"
#include "settings/SettingsManager.h"

#include <QObject>
#include <QPointer>
#include <array>
#include <memory>
#include <span>

namespace quorvel {

class ReminderManager;

// All that tells one kind of break reminder from another: one row of breakReminderKinds().
struct ReminderKind {
    OverlayType overlay;
    // The setting that switches it on.
    bool (SettingsManager::*enabled)() const;
    void (SettingsManager::*setEnabled)(bool);
    // The setting the interval follows (the panel's picker sets it), and its change signal.
    qint64 (SettingsManager::*interval)() const;
    void (SettingsManager::*setInterval)(qint64);
    void (SettingsManager::*intervalChanged)(qint64);
    // Used while the setting is not a positive number of seconds.
    qint64 defaultIntervalSeconds;
    // A stopped reminder of this kind.
    std::unique_ptr<ReminderManager> (*make)(OverlayRequests& overlays, SettingsManager& settings,
                                             TimerFactory timers);
};

extern const ReminderKind standReminderKind; // every `standInterval`, "Time to Stand!"
extern const ReminderKind waterReminderKind; // every `waterInterval`, "Drink Some Water!"
// Every kind, in the panel's order: whatever is done to all break reminders (starting them,
// their switches and countdowns in the panel, holding them while the screen is locked,
// taking their overlays down) goes over this list. A new kind is a row here (in
// ReminderManager.cpp), its OverlayType and looks, and its two settings.
std::span<const ReminderKind* const> breakReminderKinds();
// The kind whose overlay is `type`; null for the slouch overlay.
const ReminderKind* breakReminderKind(OverlayType type);

// What every break reminder shares: a countdown whose interval follows one
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
    OverlayType overlayType() const { return m_kind.overlay; }

Q_SIGNALS:
    void objectWillChange();
    void isRunningChanged(bool value);
    void secondsRemainingChanged(qint64 value);

protected:
    // Follows the kind's interval setting from here on, each change applied during the
    // assignment itself.
    ReminderManager(const ReminderKind& kind, OverlayRequests& overlays, SettingsManager& settings,
                    TimerFactory timers, QObject* parent);

private:
    void triggerOverlay();
    qint64 usableInterval(qint64 seconds) const;

    SettingsManager& m_settings;
    ReminderKind m_kind;
    QPointer<OverlayRequests> m_overlays;
    std::unique_ptr<ReminderTimer> m_timer;
};

// A reminder of one kind, built stopped.
template <const ReminderKind& kind> class ReminderOfKind : public ReminderManager {
public:
    explicit ReminderOfKind(OverlayRequests& overlays,
                            SettingsManager& settings = SettingsManager::shared(),
                            TimerFactory timers = eventLoopTimers(), QObject* parent = nullptr)
        : ReminderManager(kind, overlays, settings, std::move(timers), parent) {}
};

} // namespace quorvel
