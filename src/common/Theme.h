#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>
#include <functional>

class QWidget;
class QLabel;

namespace quorvel::theme {

// Text roles of the panel, sized for a desktop panel at 96 dpi.
enum class TextRole { title2, headline, subheadline, body, caption };

QFont font(TextRole role, QFont::Weight weight = QFont::Normal);

// The colours of the panel and the chart. Semantic colours stay readable on light and dark
// themes; text colours are taken from the palette in use, so read them when painting.
QColor green();
QColor red();
QColor orange();
QColor blue();
QColor gray();
QColor secondaryText(const QPalette& palette); // the window text at 60 % opacity
QColor secondaryText(const QWidget* widget);   // of the widget's palette (the application's)

// Gives `widget`'s text the colour `color` picks from the palette its parent (or the
// application) has, and picks it again after every palette change, so a fixed-role text
// colour still follows a switch between light and dark themes while running.
void followPalette(QWidget* widget, std::function<QColor(const QPalette&)> color);
inline void useSecondaryText(QWidget* widget) {
    followPalette(widget, [](const QPalette& palette) { return secondaryText(palette); });
}

// One of the project's icons (":/resources/icons/<name>.svg"), tinted with `color` and
// rendered at `size` logical pixels for the widget's device pixel ratio.
QPixmap iconPixmap(const QString& name, const QColor& color, int size, qreal devicePixelRatio);
QIcon tintedIcon(const QString& name, const QColor& color);

// Sets `widget`'s style sheet, and sets it again after each change of the palette it
// inherits, so that colours the sheet names by palette role follow a theme change.
void setStyleSheet(QWidget* widget, const QString& styleSheet);

// Makes the checkable tool buttons inside `segments` look like one segmented control.
void styleAsSegmentedControl(QWidget* segments);

// A label showing a tinted icon.
QLabel* iconLabel(const QString& name, const QColor& color, int size, QWidget* parent);

} // namespace quorvel::theme
