#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.menubar": the panel opened and closed, and its wait for the keyboard and pointer.
// Warnings only by default; QT_LOGGING_RULES="quorvel.menubar=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcMenuBar)

} // namespace quorvel
