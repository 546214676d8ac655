#pragma once

#include "common/OverlayRequests.h"

#include <QColor>
#include <QString>
#include <array>

namespace quorvel {

// How each kind of overlay looks: its texts, icon and colours, and the title of the panel's
// switch that turns it on ("Posture Monitoring", "Stand Reminders", "Water Reminders"). All
// are in one table in OverlayType.cpp.
QString title(OverlayType type);
QString subtitle(OverlayType type);
QString switchTitle(OverlayType type);
// The title of a break kind's interval picker in the settings ("Stand Interval"); empty for
// the slouch warning, which has none.
QString intervalTitle(OverlayType type);
// The icon's name ("figure.stand", "figure.walk", "drop.fill"); see iconResourcePath().
QString iconName(OverlayType type);
// The two colours of the overlay's background gradient, opaque sRGB.
std::array<QColor, 2> gradientColors(OverlayType type);

// Where the SVG of an icon name lives among the application's resources.
QString iconResourcePath(const QString& iconName);

} // namespace quorvel
