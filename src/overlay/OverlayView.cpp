#include "overlay/OverlayView.h"

#include <QEasingCurve>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPauseAnimation>
#include <QPropertyAnimation>
#include <QSequentialAnimationGroup>
#include <QSvgRenderer>
#include <algorithm>
#include <cmath>

namespace quorvel {

namespace {

// CSS-style timing curves: ease-out and ease-in-out.
QEasingCurve cubicBezier(QPointF c1, QPointF c2) {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(c1, c2, QPointF(1.0, 1.0));
    return curve;
}

QEasingCurve easeOut() {
    return cubicBezier({0.0, 0.0}, {0.58, 1.0});
}
QEasingCurve easeInOut() {
    return cubicBezier({0.42, 0.0}, {0.58, 1.0});
}

QList<QColor> toList(const std::array<QColor, 2>& colors) {
    return {colors[0], colors[1]};
}

constexpr int sideMargin = 48;
constexpr int textFlags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;

QSize textSize(const QFont& font, const QString& text, int maxWidth) {
    const QFontMetrics metrics(font);
    return metrics.boundingRect(QRect(0, 0, maxWidth, 100000), textFlags, text).size();
}

// The icon as a white shape, `size` logical pixels square.
QImage whiteIcon(const QString& name, int size, qreal dpr) {
    QSvgRenderer renderer(iconResourcePath(name));
    QImage image(QSize(size, size) * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    if (!renderer.isValid()) {
        return image;
    }
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    renderer.render(&p, QRectF(0, 0, size, size));
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(QRectF(0, 0, size, size), Qt::white);
    return image;
}

} // namespace

struct OverlayView::Layout {
    QFont titleFont;
    QFont subtitleFont;
    QFont hintFont;
    QRect icon;
    QRect title;
    QRect subtitle;
    QRect hint;
    QSize column;
};

QString OverlayView::dismissHint() {
    return QStringLiteral("Click anywhere to dismiss");
}

QString OverlayView::roundedFontFamily() {
    static const QString family = [] {
        const QStringList installed = QFontDatabase::families();
        const QStringList preferred{
            QStringLiteral("SF Pro Rounded"), QStringLiteral("Nunito"),
            QStringLiteral("Varela Round"),   QStringLiteral("M PLUS Rounded 1c"),
            QStringLiteral("Quicksand"),      QStringLiteral("Comfortaa"),
            QStringLiteral("Fredoka"),        QStringLiteral("Arial Rounded MT Bold"),
            QStringLiteral("Manjari"),
        };
        for (const QString& name : preferred) {
            if (installed.contains(name, Qt::CaseInsensitive)) {
                return name;
            }
        }
        return QString();
    }();
    return family;
}

OverlayView::OverlayView(OverlayType type, std::function<void()> onDismiss, Timings timings,
                         QWidget* parent)
    : QWidget(parent), m_type(type), m_onDismiss(std::move(onDismiss)), m_timings(timings),
      m_gradient(toList(gradientColors(type))) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setCursor(Qt::ArrowCursor);
}

OverlayView::~OverlayView() = default;

void OverlayView::setContentProgress(double progress) {
    progress = std::clamp(progress, 0.0, 1.0);
    if (progress == m_contentProgress) {
        return;
    }
    m_contentProgress = progress;
    update();
}

void OverlayView::setGradientProgress(double progress) {
    progress = std::clamp(progress, 0.0, 1.0);
    if (progress == m_gradientProgress) {
        return;
    }
    m_gradientProgress = progress;
    m_gradient.setProgress(progress);
    if (!m_sincePaint.isValid() || m_sincePaint.elapsed() >= gradientFrameMs) {
        update();
    }
}

void OverlayView::setFadeOpacity(double opacity) {
    opacity = std::clamp(opacity, 0.0, 1.0);
    if (opacity == m_fadeOpacity) {
        return;
    }
    m_fadeOpacity = opacity;
    update();
}

OverlayView::Layout OverlayView::layout() const {
    Layout l;
    const QString rounded = roundedFontFamily();
    l.titleFont = font();
    l.subtitleFont = font();
    if (!rounded.isEmpty()) {
        l.titleFont.setFamily(rounded);
        l.subtitleFont.setFamily(rounded);
    }
    l.titleFont.setPixelSize(titleSize);
    l.titleFont.setWeight(QFont::Bold);
    l.subtitleFont.setPixelSize(subtitleSize);
    l.subtitleFont.setWeight(QFont::Medium);
    l.hintFont = font();
    l.hintFont.setPixelSize(hintSize);
    l.hintFont.setWeight(QFont::Normal);

    const int maxWidth = std::max(200, width() - 2 * sideMargin);
    const QSize title = textSize(l.titleFont, ::quorvel::title(m_type), maxWidth);
    const QSize sub = textSize(l.subtitleFont, ::quorvel::subtitle(m_type), maxWidth);
    const QSize hint = textSize(l.hintFont, dismissHint(), maxWidth);
    const int columnWidth = std::max({iconSize, title.width(), sub.width(), hint.width()});
    const auto centred = [columnWidth](int top, QSize size) {
        return QRect((columnWidth - size.width()) / 2, top, size.width(), size.height());
    };
    l.icon = centred(0, QSize(iconSize, iconSize));
    l.title = centred(l.icon.bottom() + 1 + spacing, title);
    l.subtitle = centred(l.title.bottom() + 1 + spacing, sub);
    l.hint = centred(l.subtitle.bottom() + 1 + spacing + hintExtraSpace, hint);
    l.column = QSize(columnWidth, l.hint.bottom() + 1);
    return l;
}

QRect OverlayView::contentRect() const {
    const QSize column = layout().column;
    return QRect(QPoint((width() - column.width()) / 2, (height() - column.height()) / 2), column);
}

void OverlayView::renderContent() {
    const Layout l = layout();
    const qreal dpr = devicePixelRatioF();
    m_content = QPixmap(l.column * dpr);
    m_content.setDevicePixelRatio(dpr);
    m_content.fill(Qt::transparent);

    QPainter p(&m_content);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                     QPainter::SmoothPixmapTransform);
    p.drawImage(l.icon.topLeft(), whiteIcon(iconName(m_type), iconSize, dpr));
    p.setPen(Qt::white);
    p.setFont(l.titleFont);
    p.drawText(l.title, textFlags, title(m_type));
    p.setOpacity(subtitleOpacity);
    p.setFont(l.subtitleFont);
    p.drawText(l.subtitle, textFlags, subtitle(m_type));
    p.setOpacity(hintOpacity);
    p.setFont(l.hintFont);
    p.drawText(l.hint, textFlags, dismissHint());
}

void OverlayView::paintEvent(QPaintEvent*) {
    m_sincePaint.start();
    QPainter p(this);
    m_gradient.paint(p, QRectF(rect()), backgroundOpacity * m_fadeOpacity);
    if (m_contentProgress <= 0.0 || m_fadeOpacity <= 0.0) {
        return;
    }
    const qreal dpr = devicePixelRatioF();
    if (m_content.isNull() || !qFuzzyCompare(m_content.devicePixelRatio(), dpr)) {
        renderContent();
    }
    const QSizeF size = QSizeF(m_content.size()) / dpr;
    const double scale = 0.8 + 0.2 * m_contentProgress;
    p.setRenderHint(QPainter::SmoothPixmapTransform, m_contentProgress < 1.0);
    p.setOpacity(m_contentProgress * m_fadeOpacity);
    p.translate(QRectF(rect()).center());
    p.scale(scale, scale);
    // Whole pixels at full size keep the text crisp.
    p.drawPixmap(QPointF(-std::floor(size.width() / 2), -std::floor(size.height() / 2)), m_content);
}

void OverlayView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (m_onDismiss) {
        const auto onDismiss = m_onDismiss;
        onDismiss();
    }
}

void OverlayView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_contentVisible) {
        m_contentVisible = true;
        if (m_timings.entranceDelayMs <= 0 && m_timings.entranceDurationMs <= 0) {
            setContentProgress(1.0);
        } else {
            auto* group = new QSequentialAnimationGroup(this);
            group->addAnimation(new QPauseAnimation(std::max(0, m_timings.entranceDelayMs)));
            auto* grow = new QPropertyAnimation(this, "contentProgress");
            grow->setStartValue(0.0);
            grow->setEndValue(1.0);
            grow->setDuration(std::max(0, m_timings.entranceDurationMs));
            grow->setEasingCurve(easeOut());
            group->addAnimation(grow);
            group->start(QAbstractAnimation::DeleteWhenStopped);
        }
        if (m_timings.gradientSwingMs > 0) {
            auto* swing = new QSequentialAnimationGroup(this);
            for (const auto& [from, to] : {std::pair{0.0, 1.0}, std::pair{1.0, 0.0}}) {
                auto* half = new QPropertyAnimation(this, "gradientProgress");
                half->setStartValue(from);
                half->setEndValue(to);
                half->setDuration(m_timings.gradientSwingMs);
                half->setEasingCurve(easeInOut());
                swing->addAnimation(half);
            }
            swing->setLoopCount(-1);
            m_swing = swing;
            swing->start();
        }
    } else if (m_swing != nullptr && m_swing->state() == QAbstractAnimation::Paused) {
        m_swing->resume();
    }
}

void OverlayView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Nothing to see: don't keep repainting a hidden window.
    if (m_swing != nullptr && m_swing->state() == QAbstractAnimation::Running) {
        m_swing->pause();
    }
}

void OverlayView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_content = QPixmap();
}

} // namespace quorvel
