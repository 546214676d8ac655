#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.settings": stored values that could not be used.
// Warnings only by default; QT_LOGGING_RULES="quorvel.settings=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcSettings)

} // namespace quorvel
