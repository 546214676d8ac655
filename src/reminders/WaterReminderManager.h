#pragma once

#include "reminders/ReminderManager.h"
#include "settings/SettingsManager.h"

namespace quorvel {

// Every `waterInterval` seconds, the "Drink Some Water!" overlay. Built stopped.
class WaterReminderManager : public ReminderManager {
    Q_OBJECT

public:
    explicit WaterReminderManager(OverlayWindowController& overlayController,
                                  SettingsManager& settings = SettingsManager::shared(),
                                  TimerFactory timers = eventLoopTimers(),
                                  QObject* parent = nullptr);

    static const ReminderKind kind;
};

} // namespace quorvel
