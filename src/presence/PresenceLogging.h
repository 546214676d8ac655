#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.presence": lock, unlock and sleep as each service reports them, pauses and
// resumes, away and back.
// Warnings only by default; QT_LOGGING_RULES="quorvel.presence=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcPresence)

} // namespace quorvel
