#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.overlay": each overlay shown, queued and dismissed, and what dismissed it.
// Warnings only by default; QT_LOGGING_RULES="quorvel.overlay=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcOverlay)

} // namespace quorvel
