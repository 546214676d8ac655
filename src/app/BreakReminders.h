#pragma once

#include "common/TimerFactory.h"
#include "presence/PresencePolicy.h"
#include "reminders/ReminderManager.h"

#include <QObject>
#include <QString>
#include <memory>
#include <vector>

namespace quorvel {

class OverlayWindowController;
class SettingsManager;

// The break reminders (every kind of breakReminderKinds()), and what presence does to them.
// Each manager is made the
// first time it is needed (started, stopped or read) and kept: a reminder that stays off
// costs nothing, not even its subscription to its interval. The countdowns ride on one
// tick, so the idle app wakes once a second, not once for each. Main thread only.
class BreakReminders : public QObject, public BreakControls {
    Q_OBJECT

public:
    BreakReminders(OverlayWindowController& overlayController, SettingsManager& settings,
                   TimerFactory timers, QObject* parent = nullptr);
    ~BreakReminders() override;

    // The reminder of `kind`, one of breakReminderKinds().
    ReminderManager& reminder(const ReminderKind& kind);
    ReminderManager& stand() { return reminder(standReminderKind); }
    ReminderManager& water() { return reminder(waterReminderKind); }
    // Whether any countdown runs.
    bool anyRunning() const;

    void holdCountdowns() override;
    void continueCountdowns() override;
    void restartCountdowns() override;
    QList<OverlayType> withdrawBreakOverlays() override;
    void showBreakOverlay(OverlayType type) override;

Q_SIGNALS:
    // A countdown moved on: once a second while one runs, on the shared tick.
    void countdownsMoved();

private:
    template <typename F> void forEachMade(F f);

    OverlayWindowController& m_overlayController;
    SettingsManager& m_settings;
    TimerFactory m_ticks;
    // By the kind's place in breakReminderKinds(); empty until first needed.
    std::vector<std::unique_ptr<ReminderManager>> m_made;
};

} // namespace quorvel
