#pragma once

#include "reminders/ReminderManager.h"

namespace quorvel {

// Every `waterInterval` seconds, the "Drink Some Water!" overlay.
class WaterReminderManager : public ReminderOfKind<waterReminderKind> {
public:
    using ReminderOfKind::ReminderOfKind;
};

} // namespace quorvel
