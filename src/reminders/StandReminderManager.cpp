#include "reminders/StandReminderManager.h"

#include "app/Observation.h"

namespace quorvel {

namespace {
constexpr qint64 defaultStandInterval = 1800;
}

StandReminderManager::StandReminderManager(OverlayWindowController& overlayController,
                                           SettingsManager& settings, TimerFactory timers,
                                           QObject* parent)
    : ReminderManager(OverlayType::stand, overlayController, settings,
                      usableInterval(settings.standInterval(), defaultStandInterval),
                      std::move(timers), parent) {
    // Later assignments only, applied during the assignment itself.
    subscribeDirect(
        &m_settings, &SettingsManager::standIntervalChanged, this,
        [this](qint64 seconds) { intervalChanged(usableInterval(seconds, defaultStandInterval)); });
}

} // namespace quorvel
