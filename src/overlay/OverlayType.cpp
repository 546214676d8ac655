#include "overlay/OverlayType.h"

#include "overlay/OverlayGradients.h"

#include <QCoreApplication>

namespace quorvel {

QString title(OverlayType type) {
    switch (type) {
    case OverlayType::slouch:
        return QCoreApplication::translate("OverlayType", "Sit Up Straight!");
    case OverlayType::stand:
        return QCoreApplication::translate("OverlayType", "Time to Stand!");
    case OverlayType::water:
        return QCoreApplication::translate("OverlayType", "Drink Some Water!");
    }
    Q_UNREACHABLE();
}

QString subtitle(OverlayType type) {
    switch (type) {
    case OverlayType::slouch:
        return QCoreApplication::translate("OverlayType", "Your posture could use a little love");
    case OverlayType::stand:
        return QCoreApplication::translate("OverlayType", "Take a quick stretch break");
    case OverlayType::water:
        return QCoreApplication::translate("OverlayType", "Stay hydrated, stay sharp");
    }
    Q_UNREACHABLE();
}

QString iconName(OverlayType type) {
    switch (type) {
    case OverlayType::slouch:
        return QStringLiteral("figure.stand");
    case OverlayType::stand:
        return QStringLiteral("figure.walk");
    case OverlayType::water:
        return QStringLiteral("drop.fill");
    }
    Q_UNREACHABLE();
}

std::array<QColor, 2> gradientColors(OverlayType type) {
    switch (type) {
    case OverlayType::slouch:
        return {colorFromHex(0x667EEA), colorFromHex(0x764BA2)};
    case OverlayType::stand:
        return {colorFromHex(0xF093FB), colorFromHex(0xF5576C)};
    case OverlayType::water:
        return {colorFromHex(0x4FACFE), colorFromHex(0x00F2FE)};
    }
    Q_UNREACHABLE();
}

QString iconResourcePath(const QString& iconName) {
    return QStringLiteral(":/resources/icons/%1.svg").arg(iconName);
}

} // namespace quorvel
