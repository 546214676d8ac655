#include "overlay/OverlayView.h"

#include "common/Accessibility.h"

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
#include <memory>
#include <vector>

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

// Blurs an 8-bit alpha image in place: three passes of a box blur, close to a Gaussian
// blur of about `radius` pixels.
void blurAlpha(QImage& image, int radius) {
    const int w = image.width();
    const int h = image.height();
    const int r = std::max(1, radius / 2);
    const int window = 2 * r + 1;
    std::vector<int> line(static_cast<size_t>(std::max(w, h)));
    auto pass = [&](int length, const auto& at) {
        int sum = 0;
        for (int i = 0; i < r && i < length; ++i) {
            sum += at(i);
        }
        for (int i = 0; i < length; ++i) {
            if (i + r < length) {
                sum += at(i + r);
            }
            if (i - r - 1 >= 0) {
                sum -= at(i - r - 1);
            }
            line[static_cast<size_t>(i)] = sum / window;
        }
    };
    for (int round = 0; round < 3; ++round) {
        for (int y = 0; y < h; ++y) {
            uchar* row = image.scanLine(y);
            pass(w, [row](int x) { return int(row[x]); });
            for (int x = 0; x < w; ++x) {
                row[x] = static_cast<uchar>(line[static_cast<size_t>(x)]);
            }
        }
        for (int x = 0; x < w; ++x) {
            pass(h, [&image, x](int y) { return int(image.constScanLine(y)[x]); });
            for (int y = 0; y < h; ++y) {
                image.scanLine(y)[x] = static_cast<uchar>(line[static_cast<size_t>(y)]);
            }
        }
    }
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
    return tr("Click anywhere to dismiss");
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
    // The title names it; the title and the message are texts inside it, where they are
    // drawn, so that a screen reader speaks the message once, shows it in braille and keeps it
    // in its history of notifications (as a description it would be spoken, and not shown).
    // The description is only a note that nothing on screen says.
    a11y::describe(
        this, QAccessible::Notification, [this] { return ::quorvel::title(m_type); },
        [this] { return m_spokenNote; });
    a11y::setTextParts(this, [this] {
        const QList<QRect> rects = textRects();
        return QList<a11y::TextPart>{{::quorvel::title(m_type), rects.at(0)},
                                     {accessibleText(), rects.at(1) | rects.at(2)}};
    });
}

QString OverlayView::accessibleText() const {
    // The shown hint names only the click; Escape works as well, and a screen reader user
    // is more likely to reach for the key.
    return tr("%1. Click anywhere to dismiss, or press Escape.").arg(::quorvel::subtitle(m_type));
}

QString OverlayView::dismissalText() const {
    return tr("%1 dismissed").arg(::quorvel::title(m_type));
}

void OverlayView::confirmDismissal() {
    if (!m_announces || m_dismissal != nullptr) {
        return;
    }
    // Nameless, as a desktop's own notifications are: its one text is what a screen reader
    // says, shows in braille and keeps in its history. It draws nothing, and appearing is
    // what makes it heard.
    auto* note = new QWidget(this);
    note->setAttribute(Qt::WA_TransparentForMouseEvents);
    note->setGeometry(0, 0, 1, 1);
    a11y::describe(note, QAccessible::Notification);
    a11y::setTextParts(note, [note, text = dismissalText()] {
        return QList<a11y::TextPart>{{text, note->rect()}};
    });
    m_dismissal = note;
    note->show();
}

void OverlayView::setAnnounces(bool announces) {
    m_announces = announces;
    a11y::setRole(this, announces ? QAccessible::Notification : QAccessible::Window);
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

QList<QRect> OverlayView::textRects() const {
    const Layout l = layout();
    const QPoint origin = contentRect().topLeft();
    return {l.title.translated(origin), l.subtitle.translated(origin), l.hint.translated(origin)};
}

void OverlayView::setDrawsTexts(bool draws) {
    m_drawsTexts = draws;
    m_content = QImage();
    update();
}

// Fills the transparent `content` (the column's size plus the band's margin all round, in
// device pixels) with the dark band and the letters' shadows: black, at their opacity.
void OverlayView::drawTextBackdrop(QImage& content, const Layout& l, const QImage& icon) const {
    const qreal dpr = devicePixelRatioF();
    const QSize size = content.size();
    auto alphaImage = [&] {
        QImage image(size, QImage::Format_Alpha8);
        image.fill(0);
        return image;
    };
    auto painterOn = [&](QImage& image) {
        auto p = std::make_unique<QPainter>(&image);
        p->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        p->scale(dpr, dpr);
        p->translate(bandMargin, bandMargin);
        return p;
    };

    // The band: from above the title to below the hint, with soft edges.
    QImage band = alphaImage();
    {
        auto p = painterOn(band);
        const QRect texts = (l.title | l.subtitle | l.hint).adjusted(-32, -16, 32, 16);
        p->setPen(Qt::NoPen);
        p->setBrush(QColor(0, 0, 0, qRound(255 * bandOpacity)));
        p->drawRoundedRect(texts, 24, 24);
    }
    blurAlpha(band, qRound(bandMargin * dpr / 2));

    // The shadows: each letter (and the icon) spread a few pixels, dense right behind the
    // strokes, fading out soon after.
    QImage shadow = alphaImage();
    {
        auto p = painterOn(shadow);
        p->setPen(Qt::black);
        // Each shape spread by 2 pixels all round, then softened.
        for (int dx = -2; dx <= 2; ++dx) {
            for (int dy = -2; dy <= 2; ++dy) {
                if (dx * dx + dy * dy > 5) {
                    continue;
                }
                const QPoint d(dx, dy);
                p->drawImage(l.icon.topLeft() + d, icon);
                p->setFont(l.titleFont);
                p->drawText(l.title.translated(d), textFlags, title(m_type));
                p->setFont(l.subtitleFont);
                p->drawText(l.subtitle.translated(d), textFlags, subtitle(m_type));
                p->setFont(l.hintFont);
                p->drawText(l.hint.translated(d), textFlags, dismissHint());
            }
        }
    }
    blurAlpha(shadow, qRound(4 * dpr));

    // Written straight into the content, which is transparent so far: no image of the
    // backdrop's own, the size of the content, is needed.
    for (int y = 0; y < size.height(); ++y) {
        const uchar* b = band.constScanLine(y);
        const uchar* s = shadow.constScanLine(y);
        auto* out = reinterpret_cast<QRgb*>(content.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const double under = std::min(1.0, s[x] / 255.0 * 1.5) * shadowOpacity;
            const double alpha = 1.0 - (1.0 - b[x] / 255.0) * (1.0 - under);
            out[x] = qRgba(0, 0, 0, qRound(255 * alpha));
        }
    }
}

void OverlayView::renderContent() {
    const Layout l = layout();
    const qreal dpr = devicePixelRatioF();
    m_content = QImage((l.column + QSize(2 * bandMargin, 2 * bandMargin)) * dpr,
                       QImage::Format_ARGB32_Premultiplied);
    m_content.fill(Qt::transparent);

    const QImage icon = whiteIcon(iconName(m_type), iconSize, dpr);
    drawTextBackdrop(m_content, l, icon);
    m_content.setDevicePixelRatio(dpr);
    QPainter p(&m_content);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                     QPainter::SmoothPixmapTransform);
    p.translate(bandMargin, bandMargin);
    p.drawImage(l.icon.topLeft(), icon);
    if (!m_drawsTexts) {
        return;
    }
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
    p.drawImage(QPointF(-std::floor(size.width() / 2), -std::floor(size.height() / 2)), m_content);
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
        // Appearing, a notification is spoken by screen readers (Orca reads its name and
        // description); the alert is for bridges that listen for alerts instead.
        if (m_announces) {
            a11y::notify(this, QAccessible::Alert);
        }
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
    m_content = QImage();
}

} // namespace quorvel
