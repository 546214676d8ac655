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

// Calls `apply` with the palette a widget inherits from its parent (or the application), at
// once and again whenever that palette has changed. Palette changes reach a widget before or
// after its parent's, so it looks once they have all been delivered.
class PaletteWatcher : public QObject {
public:
    using Apply = std::function<void(QWidget*, const QPalette&)>;

    PaletteWatcher(QWidget* widget, Apply apply)
        : QObject(widget), m_widget(widget), m_apply(std::move(apply)) {
        m_inherited = inherited();
        m_apply(m_widget, m_inherited);
        // A widget whose palette is all its own (as a style sheet makes it) hears of no
        // change: its parent does.
        widget->installEventFilter(this);
        if (widget->parentWidget()) {
            widget->parentWidget()->installEventFilter(this);
        }
    }

    bool eventFilter(QObject*, QEvent* event) override {
        const auto type = event->type();
        if ((type == QEvent::PaletteChange || type == QEvent::ApplicationPaletteChange ||
             type == QEvent::ParentChange) &&
            !m_queued) {
            m_queued = true;
            QMetaObject::invokeMethod(
                this, [this] { check(); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    QPalette inherited() const {
        const QWidget* parent = m_widget->parentWidget();
        return parent ? parent->palette() : QApplication::palette(m_widget);
    }

    void check() {
        m_queued = false;
        QPalette now = inherited();
        if (now != m_inherited) {
            m_inherited = std::move(now);
            m_apply(m_widget, m_inherited);
        }
    }

    QWidget* m_widget;
    Apply m_apply;
    QPalette m_inherited;
    bool m_queued = false;
};

} // namespace

void followPalette(QWidget* widget, std::function<QColor(const QPalette&)> color) {
    new PaletteWatcher(widget, [color = std::move(color)](QWidget* w, const QPalette& inherited) {
        QPalette own; // only WindowText is the widget's own; every other role is inherited
        own.setColor(QPalette::WindowText, color(inherited));
        w->setPalette(own);
    });
}

void setStyleSheet(QWidget* widget, const QString& styleSheet) {
    // Colours named by palette role are looked up when the sheet is applied: apply it again
    // after a palette change.
    new PaletteWatcher(widget, [styleSheet](QWidget* w, const QPalette&) {
        w->setStyleSheet(QString());
        w->setStyleSheet(styleSheet);
    });
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
    setStyleSheet(segments,
                  QStringLiteral("QToolButton { border: 1px solid palette(mid); padding: 2px 0; "
                                 "background: palette(button); }"
                                 "QToolButton:checked { background: palette(highlight); "
                                 "color: palette(highlighted-text); }"
                                 // The focus: a ring inside the segment, thick enough to
                                 // see, in a colour that stands out on both backgrounds.
                                 "QToolButton:focus { border: 2px solid palette(highlight); "
                                 "padding: 1px 0; }"
                                 "QToolButton:checked:focus { border: 2px solid "
                                 "palette(window-text); }"));
}

QLabel* iconLabel(const QString& name, const QColor& color, int size, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setFixedSize(size, size);
    label->setPixmap(iconPixmap(name, color, size, parent ? parent->devicePixelRatioF() : 1.0));
    return label;
}

} // namespace quorvel::theme
