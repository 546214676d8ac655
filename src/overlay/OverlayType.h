#pragma once

#include <QColor>
#include <QString>
#include <array>
#include <optional>

namespace quorvel {

// The three kinds of full-screen overlay. Identity is the raw value.
enum class OverlayType { slouch, stand, water };

inline constexpr std::array<OverlayType, 3> allOverlayTypes{OverlayType::slouch, OverlayType::stand,
                                                            OverlayType::water};

// "slouch", "stand", "water".
QString rawValue(OverlayType type);
// Exact, case-sensitive match of a raw value; anything else gives no kind.
std::optional<OverlayType> overlayTypeFromRawValue(const QString& raw);

QString title(OverlayType type);
QString subtitle(OverlayType type);
// The icon's name ("figure.stand", "figure.walk", "drop.fill"); see iconResourcePath().
QString iconName(OverlayType type);
// The two colours of the overlay's background gradient, opaque sRGB.
std::array<QColor, 2> gradientColors(OverlayType type);

// Where the SVG of an icon name lives among the application's resources.
QString iconResourcePath(const QString& iconName);

} // namespace quorvel
