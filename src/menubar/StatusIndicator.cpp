#include "menubar/StatusIndicator.h"

namespace quorvel {

QString StatusIndicator::iconName(PostureStatus status, bool isMonitoring) {
    if (isMonitoring && status == PostureStatus::slouching) {
        return QStringLiteral("figure.fall");
    }
    return QStringLiteral("figure.stand");
}

} // namespace quorvel
