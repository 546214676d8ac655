#include "common/OverlayRequests.h"

namespace quorvel {

QString rawValue(OverlayType type) {
    switch (type) {
    case OverlayType::slouch:
        return QStringLiteral("slouch");
    case OverlayType::stand:
        return QStringLiteral("stand");
    case OverlayType::water:
        return QStringLiteral("water");
    }
    Q_UNREACHABLE();
}

std::optional<OverlayType> overlayTypeFromRawValue(const QString& raw) {
    for (OverlayType type : allOverlayTypes) {
        if (rawValue(type) == raw) {
            return type;
        }
    }
    return std::nullopt;
}

} // namespace quorvel
