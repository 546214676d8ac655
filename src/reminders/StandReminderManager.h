#pragma once

#include "reminders/ReminderManager.h"

namespace quorvel {

// Every `standInterval` seconds, the "Time to Stand!" overlay.
class StandReminderManager : public ReminderOfKind<standReminderKind> {
public:
    using ReminderOfKind::ReminderOfKind;
};

} // namespace quorvel
