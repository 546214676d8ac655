#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <optional>

namespace quorvel {

// The kinds of full-screen overlay: the slouch warning and one per break reminder. Identity is
// the raw value. How each looks is the overlay subsystem's (overlay/OverlayType.h); when each
// break comes, the reminders' (reminders/ReminderManager.cpp).
enum class OverlayType { slouch, stand, water };

inline constexpr std::array<OverlayType, 3> allOverlayTypes{OverlayType::slouch, OverlayType::stand,
                                                            OverlayType::water};

// "slouch", "stand", "water".
inline QString rawValue(OverlayType type) {
    switch (type) {
    case OverlayType::slouch:
        return QStringLiteral("slouch");
    case OverlayType::stand:
        return QStringLiteral("stand");
    case OverlayType::water:
        return QStringLiteral("water");
    }
    return {};
}
// Exact, case-sensitive match of a raw value; anything else gives no kind.
std::optional<OverlayType> overlayTypeFromRawValue(const QString& raw);

// What posture monitoring and the break reminders ask of the overlays, and all they ask. The
// overlay windows (overlay/OverlayWindowController.h) answer it; those subsystems are given
// it, so they build and test without windows. A QObject, so that a holder can tell it is gone.
class OverlayRequests : public QObject {
public:
    using QObject::QObject;

    // Shows `type` at once when nothing is up, else queues it. `autoDismissSeconds` <= 0:
    // stays until dismissed.
    virtual void show(OverlayType type, qint64 autoDismissSeconds) = 0;
    // Ends the overlays of `type` that were asked for: takes it down when it is up, and drops
    // every request of that kind still waiting. An overlay of another kind stays up.
    virtual void withdraw(OverlayType type) = 0;
};

} // namespace quorvel
