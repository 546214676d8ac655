#include "overlay/OverlayGradients.h"

#include <QLinearGradient>
#include <QPainter>
#include <algorithm>

namespace quorvel {

QColor colorFromHex(quint64 hex, double alpha) {
    const double red = static_cast<double>((hex >> 16) & 0xFF) / 255.0;
    const double green = static_cast<double>((hex >> 8) & 0xFF) / 255.0;
    const double blue = static_cast<double>(hex & 0xFF) / 255.0;
    return QColor::fromRgbF(static_cast<float>(red), static_cast<float>(green),
                            static_cast<float>(blue),
                            static_cast<float>(std::clamp(alpha, 0.0, 1.0)));
}

AnimatedGradient::AnimatedGradient(QList<QColor> gradientColors)
    : colors(std::move(gradientColors)) {}

void AnimatedGradient::setProgress(double progress) {
    const double t = std::clamp(progress, 0.0, 1.0);
    animateStart = QPointF(t, 0.0);
    animateEnd = QPointF(1.0 - t, 1.0);
}

void AnimatedGradient::paint(QPainter& painter, const QRectF& rect, double opacity) const {
    const auto at = [&rect](QPointF unit) {
        return QPointF(rect.left() + unit.x() * rect.width(),
                       rect.top() + unit.y() * rect.height());
    };
    QLinearGradient gradient(at(animateStart), at(animateEnd));
    const qsizetype n = colors.size();
    for (qsizetype i = 0; i < n; ++i) {
        QColor c = colors[i];
        c.setAlphaF(static_cast<float>(c.alphaF() * std::clamp(opacity, 0.0, 1.0)));
        gradient.setColorAt(n == 1 ? 0.0 : static_cast<double>(i) / static_cast<double>(n - 1), c);
    }
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect, gradient);
    painter.restore();
}

} // namespace quorvel
