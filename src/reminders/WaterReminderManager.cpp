#include "reminders/WaterReminderManager.h"

#include "app/Observation.h"

namespace quorvel {

namespace {
constexpr qint64 defaultWaterInterval = 2700;
}

WaterReminderManager::WaterReminderManager(OverlayWindowController& overlayController,
                                           SettingsManager& settings, TimerFactory timers,
                                           QObject* parent)
    : ReminderManager(OverlayType::water, overlayController, settings,
                      usableInterval(settings.waterInterval(), defaultWaterInterval),
                      std::move(timers), parent) {
    // Later assignments only, applied during the assignment itself.
    subscribeDirect(
        &m_settings, &SettingsManager::waterIntervalChanged, this,
        [this](qint64 seconds) { intervalChanged(usableInterval(seconds, defaultWaterInterval)); });
}

} // namespace quorvel
