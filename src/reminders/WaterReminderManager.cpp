#include "reminders/WaterReminderManager.h"

namespace quorvel {

const ReminderKind WaterReminderManager::kind{OverlayType::water, &SettingsManager::waterInterval,
                                              &SettingsManager::waterIntervalChanged, 2700};

WaterReminderManager::WaterReminderManager(OverlayWindowController& overlayController,
                                           SettingsManager& settings, TimerFactory timers,
                                           QObject* parent)
    : ReminderManager(kind, overlayController, settings, std::move(timers), parent) {}

} // namespace quorvel
