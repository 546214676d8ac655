#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.menubar": the panel opened and closed.
// Warnings only by default; QT_LOGGING_RULES="quorvel.menubar=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcMenuBar)

} // namespace quorvel
