#pragma once

#include <QColor>
#include <QList>
#include <QPointF>
#include <QtGlobal>

class QPainter;
class QRectF;

namespace quorvel {

// An sRGB colour from a 24-bit 0xRRGGBB value; bits above the lowest 24 are ignored.
QColor colorFromHex(quint64 hex, double alpha = 1.0);

// The slowly swinging two-colour background of an overlay. Its axis runs from the unit
// point `animateStart` to `animateEnd` (fractions of the width and height, origin top
// left): (0,0)→(1,1) at progress 0, (1,0)→(0,1) at progress 1. The overlay view moves the
// progress back and forth.
class AnimatedGradient {
public:
    explicit AnimatedGradient(QList<QColor> colors);

    // Places both unit points for `progress` in 0..1 (clamped), linearly in between.
    void setProgress(double progress);

    // Fills `rect` with the gradient at `opacity`, replacing what was there.
    void paint(QPainter& painter, const QRectF& rect, double opacity) const;

    QList<QColor> colors;
    QPointF animateStart{0.0, 0.0};
    QPointF animateEnd{1.0, 1.0};
};

} // namespace quorvel
