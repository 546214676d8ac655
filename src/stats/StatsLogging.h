#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.stats": the posture log file: loaded, written, kept aside.
// Warnings only by default; QT_LOGGING_RULES="quorvel.stats=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcStats)

} // namespace quorvel
