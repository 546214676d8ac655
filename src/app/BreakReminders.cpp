#include "app/BreakReminders.h"

#include "overlay/OverlayWindowController.h"
#include "reminders/StandReminderManager.h"
#include "reminders/WaterReminderManager.h"
#include "settings/SettingsManager.h"

namespace quorvel {

BreakReminders::BreakReminders(OverlayWindowController& overlayController,
                               SettingsManager& settings, TimerFactory timers, QObject* parent)
    : QObject(parent), m_overlayController(overlayController), m_settings(settings),
      m_ticks(sharedSecondTicks(std::move(timers))) {}

BreakReminders::~BreakReminders() = default;

StandReminderManager& BreakReminders::stand() {
    if (!m_stand) {
        m_stand = std::make_unique<StandReminderManager>(m_overlayController, m_settings, m_ticks);
        connect(m_stand.get(), &ReminderManager::secondsRemainingChanged, this,
                &BreakReminders::countdownsMoved);
    }
    return *m_stand;
}

WaterReminderManager& BreakReminders::water() {
    if (!m_water) {
        m_water = std::make_unique<WaterReminderManager>(m_overlayController, m_settings, m_ticks);
        connect(m_water.get(), &ReminderManager::secondsRemainingChanged, this,
                &BreakReminders::countdownsMoved);
    }
    return *m_water;
}

bool BreakReminders::anyRunning() const {
    return (m_stand && m_stand->isRunning()) || (m_water && m_water->isRunning());
}

// Only the managers made so far: one never made has no countdown to act on.
template <typename F> void BreakReminders::forEachMade(F f) {
    for (ReminderManager* manager : {static_cast<ReminderManager*>(m_stand.get()),
                                     static_cast<ReminderManager*>(m_water.get())}) {
        if (manager) {
            f(*manager);
        }
    }
}

void BreakReminders::holdCountdowns() {
    forEachMade([](ReminderManager& m) { m.pause(); });
}

void BreakReminders::continueCountdowns() {
    forEachMade([](ReminderManager& m) { m.resume(); });
}

void BreakReminders::restartCountdowns() {
    forEachMade([](ReminderManager& m) { m.restart(); });
}

QList<OverlayType> BreakReminders::withdrawBreakOverlays() {
    QList<OverlayType> withdrawn;
    for (OverlayType type : {OverlayType::stand, OverlayType::water}) {
        const bool onScreen =
            m_overlayController.currentType() == type && !m_overlayController.isFadingOut();
        if (onScreen || m_overlayController.overlayQueue().contains(type)) {
            withdrawn.append(type);
        }
        m_overlayController.withdraw(type);
    }
    return withdrawn;
}

void BreakReminders::showBreakOverlay(OverlayType type) {
    m_overlayController.show(type, m_settings.autoDismissTimeout());
}

} // namespace quorvel
