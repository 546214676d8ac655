#pragma once

#include <QLoggingCategory>

namespace quorvel {

// "quorvel.posture": the pose model, calibration and slouch alerts.
// Warnings only by default; QT_LOGGING_RULES="quorvel.posture=true" shows every message.
Q_DECLARE_LOGGING_CATEGORY(lcPosture)

} // namespace quorvel
