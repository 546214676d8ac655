#pragma once

#include <QAccessible>
#include <QList>
#include <QRect>
#include <QString>
#include <functional>

class QAbstractButton;
class QButtonGroup;
class QWidget;

namespace quorvel::a11y {

using Text = std::function<QString()>;

// What assistive technology is told about `widget`: its role, and where empty functions are
// not given, its name and description, read each time a screen reader asks (so a text that
// changes every second costs nothing until someone listens). A checkable button keeps its
// checked state and answers the press and toggle actions. Call before the widget is first
// shown.
void describe(QWidget* widget, QAccessible::Role role, Text name = {}, Text description = {});

// Texts a custom-painted widget shows, each where it is drawn (in the widget's
// coordinates): screen readers find them as labels inside it, for braille, a review of the
// screen and a notification's history. Call after describe().
struct TextPart {
    QString text;
    QRect rect;
};
void setTextParts(QWidget* widget, std::function<QList<TextPart>()> parts);

// Changes the role given by describe(), for widgets that take another part later (an
// overlay on a second screen is a plain window).
void setRole(QWidget* widget, QAccessible::Role role);

// Tells listening screen readers of `event` on `widget` (a changed name or description, an
// alert).
void notify(QWidget* widget, QAccessible::Event event);

// Also hears every event notify() sends, whether or not a screen reader is listening (Qt
// drops them when none is, as on the offscreen platform): for tests. Empty: none.
using Observer = std::function<void(QObject*, QAccessible::Event)>;
void setObserver(Observer observer);

// Makes Enter and Return press every button under `root` (Space already does), including
// buttons added later by the same owner's calls.
void pressButtonsOnEnter(QWidget* root);

// Makes the checkable buttons of `group`, laid out side by side in `segments`, one control
// for the keyboard and for screen readers: a group named `name` of radio buttons, one Tab
// stop that enters at the chosen segment, the arrow keys (and Home, End) choosing the
// neighbouring segment.
void makeSegmentGroup(QWidget* segments, QButtonGroup* group, const QString& name);

} // namespace quorvel::a11y
