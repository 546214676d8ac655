#include "common/OverlayRequests.h"

namespace quorvel {

std::optional<OverlayType> overlayTypeFromRawValue(const QString& raw) {
    for (OverlayType type : allOverlayTypes) {
        if (rawValue(type) == raw) {
            return type;
        }
    }
    return std::nullopt;
}

} // namespace quorvel
