#include "common/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>
#include <QWidget>

namespace quorvel::theme {

QFont font(TextRole role, QFont::Weight weight) {
    QFont f = QApplication::font();
    qreal points = 10;
    switch (role) {
    case TextRole::title2:
        points = 16;
        break;
    case TextRole::headline:
        points = 10.5;
        weight = std::max(weight, QFont::DemiBold);
        break;
    case TextRole::subheadline:
        points = 9.5;
        break;
    case TextRole::body:
        points = 10;
        break;
    case TextRole::caption:
        points = 8.5;
        break;
    }
    f.setPointSizeF(points);
    f.setWeight(weight);
    return f;
}

QColor green() {
    return QColor(0x34, 0xC7, 0x59);
}
QColor red() {
    return QColor(0xFF, 0x3B, 0x30);
}
QColor orange() {
    return QColor(0xFF, 0x95, 0x00);
}
QColor blue() {
    return QColor(0x0A, 0x84, 0xFF);
}

QColor gray() {
    return QColor(0x8E, 0x8E, 0x93);
}

QColor secondaryText(const QPalette& palette) {
    QColor c = palette.color(QPalette::WindowText);
    c.setAlphaF(0.6f);
    return c;
}

QColor secondaryText(const QWidget* widget) {
    return secondaryText(widget ? widget->palette() : QApplication::palette());
}

namespace {

// Sets one widget's WindowText from the palette it would otherwise inherit. Palette changes
// reach a widget before or after its parent's, so the colour is picked once they have all
// been delivered.
class PaletteFollower : public QObject {
public:
    PaletteFollower(QWidget* widget, std::function<QColor(const QPalette&)> color)
        : QObject(widget), m_widget(widget), m_color(std::move(color)) {
        widget->installEventFilter(this);
        apply();
    }

    bool eventFilter(QObject*, QEvent* event) override {
        const auto type = event->type();
        if ((type == QEvent::PaletteChange || type == QEvent::ApplicationPaletteChange ||
             type == QEvent::ParentChange) &&
            !m_queued) {
            m_queued = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_queued = false;
                    apply();
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    void apply() {
        const QWidget* parent = m_widget->parentWidget();
        const QColor color = m_color(parent ? parent->palette() : QApplication::palette(m_widget));
        if (m_widget->palette().color(QPalette::Active, QPalette::WindowText) != color) {
            QPalette own; // only WindowText is the widget's own; every other role is inherited
            own.setColor(QPalette::WindowText, color);
            m_widget->setPalette(own);
        }
    }

    QWidget* m_widget;
    std::function<QColor(const QPalette&)> m_color;
    bool m_queued = false;
};

} // namespace

void followPalette(QWidget* widget, std::function<QColor(const QPalette&)> color) {
    new PaletteFollower(widget, std::move(color));
}

QPixmap iconPixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio) {
    const int px = qMax(1, qRound(size * devicePixelRatio));
    QPixmap pixmap(px, px);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/resources/icons/%1.svg").arg(name));
    if (renderer.isValid()) {
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        QSizeF s = renderer.defaultSize();
        s.scale(px, px, Qt::KeepAspectRatio);
        renderer.render(&p,
                        QRectF((px - s.width()) / 2, (px - s.height()) / 2, s.width(), s.height()));
        // Tint: keep the shape, replace its colour.
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(pixmap.rect(), color);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon tintedIcon(const QString& name, const QColor& color) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(iconPixmap(name, color, size, 1.0));
    }
    return icon;
}

void styleAsSegmentedControl(QWidget* segments) {
    segments->setStyleSheet(
        QStringLiteral("QToolButton { border: 1px solid palette(mid); padding: 2px 0; "
                       "background: palette(button); }"
                       "QToolButton:checked { background: palette(highlight); "
                       "color: palette(highlighted-text); }"));
}

QLabel* iconLabel(const QString& name, const QColor& color, int size, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setFixedSize(size, size);
    label->setPixmap(iconPixmap(name, color, size, parent ? parent->devicePixelRatioF() : 1.0));
    return label;
}

} // namespace quorvel::theme
