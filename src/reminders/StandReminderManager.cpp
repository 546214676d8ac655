#include "reminders/StandReminderManager.h"

namespace quorvel {

const ReminderKind StandReminderManager::kind{OverlayType::stand, &SettingsManager::standInterval,
                                              &SettingsManager::standIntervalChanged, 1800};

StandReminderManager::StandReminderManager(OverlayWindowController& overlayController,
                                           SettingsManager& settings, TimerFactory timers,
                                           QObject* parent)
    : ReminderManager(kind, overlayController, settings, std::move(timers), parent) {}

} // namespace quorvel
