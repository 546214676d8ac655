#pragma once

#include "reminders/ReminderManager.h"
#include "settings/SettingsManager.h"

namespace quorvel {

// Every `standInterval` seconds, the "Time to Stand!" overlay. Built stopped.
class StandReminderManager : public ReminderManager {
    Q_OBJECT

public:
    explicit StandReminderManager(OverlayWindowController& overlayController,
                                  SettingsManager& settings = SettingsManager::shared(),
                                  TimerFactory timers = eventLoopTimers(),
                                  QObject* parent = nullptr);

    static const ReminderKind kind;
};

} // namespace quorvel
