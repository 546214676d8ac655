#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>

class QWidget;
class QLabel;

namespace quorvel::theme {

// Text roles of the panel, sized for a desktop panel at 96 dpi.
enum class TextRole { title2, headline, subheadline, body, caption };

QFont font(TextRole role, QFont::Weight weight = QFont::Normal);

// The panel's colours. Semantic colours stay readable on light and dark themes.
QColor green();
QColor red();
QColor orange();
QColor blue();
QColor secondaryText(const QWidget* widget);

// One of the project's icons (":/resources/icons/<name>.svg"), tinted with `color` and
// rendered at `size` logical pixels for the widget's device pixel ratio.
QPixmap iconPixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio);
QIcon tintedIcon(const QString& name, const QColor& color);

// Makes the checkable tool buttons inside `segments` look like one segmented control.
void styleAsSegmentedControl(QWidget* segments);

// A label showing a tinted icon.
QLabel* iconLabel(const QString& name, const QColor& color, int size, QWidget* parent);

} // namespace quorvel::theme
