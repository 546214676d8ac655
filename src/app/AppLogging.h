#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.app": the tray or the fallback window, a tray that comes late, a second
// launch, posture monitoring started and stopped and why.
// Warnings only by default; QT_LOGGING_RULES="quorvel.app=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcApp)

} // namespace quorvel
