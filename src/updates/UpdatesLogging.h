#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.updates": each update check and how it ended.
// Warnings only by default; QT_LOGGING_RULES="quorvel.updates=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcUpdates)

} // namespace quorvel
