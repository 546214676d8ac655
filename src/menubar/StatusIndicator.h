#pragma once

#include "posture/PostureModels.h"

#include <QString>

namespace quorvel {

// Which icon the tray and the panel header show for a posture status.
struct StatusIndicator {
    // "figure.fall" only while monitoring is on and the user slouches; "figure.stand" otherwise.
    static QString iconName(PostureStatus status, bool isMonitoring);
};

} // namespace quorvel
