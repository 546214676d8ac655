#include "common/Accessibility.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QButtonGroup>
#include <QComboBox>
#include <QKeyEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>
#include <optional>

namespace quorvel::a11y {

namespace {

// What describe() was told, kept by the widget it describes; also the interfaces of the
// texts it shows, made once each and given up with it.
class Traits : public QObject {
public:
    Traits(QWidget* widget, QAccessible::Role r, Text n, Text d)
        : QObject(widget), role(r), name(std::move(n)), description(std::move(d)) {
        setObjectName(QStringLiteral("quorvel-accessible"));
    }
    ~Traits() override {
        for (QAccessible::Id id : std::as_const(partIds)) {
            QAccessible::deleteAccessibleInterface(id);
        }
    }
    Traits(const Traits&) = delete;
    Traits& operator=(const Traits&) = delete;

    QAccessible::Role role;
    Text name;
    Text description;
    std::function<QList<TextPart>()> parts;
    QList<QAccessible::Id> partIds;
};

Traits* traitsOf(const QWidget* widget) {
    // Traits has no meta-object of its own, so look it up as a QObject by its name.
    return dynamic_cast<Traits*>(widget->findChild<QObject*>(QStringLiteral("quorvel-accessible"),
                                                             Qt::FindDirectChildrenOnly));
}

QString withoutMnemonic(QString text) {
    return text.remove(QLatin1Char('&'));
}

// One text a widget shows: a label without an object of its own, inside the widget.
class TextPartInterface : public QAccessibleInterface {
public:
    TextPartInterface(QWidget* widget, int index) : m_widget(widget), m_index(index) {}

    bool isValid() const override { return part().has_value(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override {
        return m_widget ? m_widget->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override {
        return m_widget ? QAccessible::queryAccessibleInterface(m_widget) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override {
        const std::optional<TextPart> p = part();
        return p && t == QAccessible::Name ? p->text : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        const std::optional<TextPart> p = part();
        return p ? QRect(m_widget->mapToGlobal(p->rect.topLeft()), p->rect.size()) : QRect();
    }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.invisible = !m_widget || !m_widget->isVisible();
        s.readOnly = true;
        return s;
    }

private:
    std::optional<TextPart> part() const;

    QPointer<QWidget> m_widget;
    const int m_index;
};

// A picker also answers as text, its current choice: Orca reads a combo box's value from its
// text and says only "combo box" without it.
class DescribedWidget : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    DescribedWidget(QWidget* widget, Traits* traits) : QAccessibleWidget(widget, traits->role) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface && combo()) {
            return static_cast<QAccessibleTextInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }

    // The text interface: the choice, read-only, nothing selected.
    void selection(int, int* start, int* end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override {
        const QString choice = combo() ? combo()->currentText() : QString();
        return choice.mid(start, end < 0 ? -1 : end - start);
    }
    int characterCount() const override { return combo() ? int(combo()->currentText().size()) : 0; }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override {
        *start = *end = offset;
        return {};
    }

    QAccessible::Role role() const override {
        const Traits* traits = this->traits();
        return traits ? traits->role : QAccessibleWidget::role();
    }

    QString text(QAccessible::Text t) const override {
        const Traits* traits = this->traits();
        if (traits && t == QAccessible::Name && traits->name) {
            return traits->name();
        }
        if (traits && t == QAccessible::Description && traits->description) {
            return traits->description();
        }
        if (t == QAccessible::Value) {
            if (const auto* c = combo()) {
                return c->currentText();
            }
        }
        QString text = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && text.isEmpty()) {
            if (const auto* b = button()) {
                text = withoutMnemonic(b->text());
            }
        }
        return text;
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        if (const auto* b = button(); b && b->isCheckable()) {
            s.checkable = true;
            s.checked = b->isChecked();
        }
        return s;
    }

    QStringList actionNames() const override {
        QStringList names;
        if (const auto* b = button()) {
            names << pressAction();
            if (b->isCheckable()) {
                names << toggleAction();
            }
        } else if (combo()) {
            names << showMenuAction() << pressAction();
        }
        return names + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override {
        if (auto* b = button();
            b && b->isEnabled() && (action == pressAction() || action == toggleAction())) {
            b->click();
            return;
        }
        if (auto* c = combo();
            c && c->isEnabled() && (action == showMenuAction() || action == pressAction())) {
            c->showPopup();
            return;
        }
        QAccessibleWidget::doAction(action);
    }

    // A picker's list of choices, as Qt's own combo box interface offers it; the texts a
    // painted widget shows.
    int childCount() const override {
        if (combo()) {
            return 1;
        }
        if (const Traits* t = traits(); t && t->parts) {
            return int(t->parts().size());
        }
        return QAccessibleWidget::childCount();
    }
    QAccessibleInterface* child(int index) const override {
        if (const auto* c = combo()) {
            return index == 0 ? QAccessible::queryAccessibleInterface(c->view()) : nullptr;
        }
        if (Traits* t = traits(); t && t->parts) {
            if (index < 0 || index >= int(t->parts().size())) {
                return nullptr;
            }
            while (t->partIds.size() <= index) {
                t->partIds.append(QAccessible::registerAccessibleInterface(
                    new TextPartInterface(widget(), int(t->partIds.size()))));
            }
            return QAccessible::accessibleInterface(t->partIds.at(index));
        }
        return QAccessibleWidget::child(index);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (const auto* c = combo()) {
            return child && child->object() == c->view() ? 0 : -1;
        }
        if (const Traits* t = traits(); t && t->parts) {
            // By the interfaces made, not by asking for an id (which would take in another).
            for (qsizetype i = 0; i < t->partIds.size(); ++i) {
                if (QAccessible::accessibleInterface(t->partIds.at(i)) == child) {
                    return int(i);
                }
            }
            return -1;
        }
        return QAccessibleWidget::indexOfChild(child);
    }

private:
    Traits* traits() const { return widget() ? traitsOf(widget()) : nullptr; }
    QAbstractButton* button() const { return qobject_cast<QAbstractButton*>(widget()); }
    QComboBox* combo() const { return qobject_cast<QComboBox*>(widget()); }
};

std::optional<TextPart> TextPartInterface::part() const {
    const Traits* traits = m_widget ? traitsOf(m_widget) : nullptr;
    if (traits == nullptr || !traits->parts) {
        return std::nullopt;
    }
    const QList<TextPart> parts = traits->parts();
    return m_index < parts.size() ? std::optional(parts.at(m_index)) : std::nullopt;
}

QAccessibleInterface* describedWidgets(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    Traits* traits = widget ? traitsOf(widget) : nullptr;
    return traits ? new DescribedWidget(widget, traits) : nullptr;
}

// Enter and Return click the button that has the focus.
class EnterPresses : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return false;
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button && button->isEnabled() &&
            (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!key->isAutoRepeat()) {
                button->click();
            }
            return true;
        }
        return false;
    }
};

// The arrow keys choose the neighbouring segment; the chosen one is the group's Tab stop.
class SegmentKeys : public QObject {
public:
    SegmentKeys(QButtonGroup* group) : QObject(group), m_group(group) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return false;
        }
        const QList<QAbstractButton*> buttons = m_group->buttons();
        const auto index = buttons.indexOf(qobject_cast<QAbstractButton*>(watched));
        if (index < 0 || buttons.isEmpty()) {
            return false;
        }
        qsizetype target = index;
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Left:
        case Qt::Key_Up:
            target = std::max<qsizetype>(0, index - 1);
            break;
        case Qt::Key_Right:
        case Qt::Key_Down:
            target = std::min(buttons.size() - 1, index + 1);
            break;
        case Qt::Key_Home:
            target = 0;
            break;
        case Qt::Key_End:
            target = buttons.size() - 1;
            break;
        default:
            return false;
        }
        QAbstractButton* next = buttons[target];
        if (next != watched && next->isEnabled()) {
            next->setFocus(Qt::TabFocusReason);
            if (!next->isChecked()) {
                next->click();
            }
        }
        return true;
    }

    void updateTabStop() const {
        const QList<QAbstractButton*> buttons = m_group->buttons();
        QAbstractButton* stop = m_group->checkedButton();
        if (!stop && !buttons.isEmpty()) {
            stop = buttons.first();
        }
        for (QAbstractButton* b : buttons) {
            b->setFocusPolicy(b == stop ? Qt::StrongFocus : Qt::ClickFocus);
        }
    }

private:
    QButtonGroup* m_group;
};

} // namespace

void describe(QWidget* widget, QAccessible::Role role, Text name, Text description) {
    static const bool installed = [] {
        QAccessible::installFactory(describedWidgets);
        return true;
    }();
    Q_UNUSED(installed);
    if (Traits* traits = traitsOf(widget)) {
        traits->role = role;
        traits->name = std::move(name);
        traits->description = std::move(description);
    } else {
        new Traits(widget, role, std::move(name), std::move(description));
        if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            QObject::connect(combo, &QComboBox::currentIndexChanged, combo, [combo](int index) {
                if (combo->hasFocus() && index >= 0) {
                    QAccessibleEvent event(combo->view(), QAccessible::Focus);
                    event.setChild(index);
                    QAccessible::updateAccessibility(&event);
                }
            });
        }
    }
    // Qt may have made the widget's interface already (a name set before, a screen reader
    // asking): it is made again, from the traits, when next asked for.
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    if (iface && !dynamic_cast<DescribedWidget*>(iface)) {
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
    }
}

void setTextParts(QWidget* widget, std::function<QList<TextPart>()> parts) {
    if (Traits* traits = traitsOf(widget)) {
        traits->parts = std::move(parts);
    }
}

void setRole(QWidget* widget, QAccessible::Role role) {
    if (Traits* traits = traitsOf(widget)) {
        traits->role = role;
    } else {
        describe(widget, role);
    }
}

Observer& observer() {
    static Observer instance;
    return instance;
}

void setObserver(Observer o) {
    observer() = std::move(o);
}

void notify(QWidget* widget, QAccessible::Event event) {
    if (observer()) {
        observer()(widget, event);
    }
    QAccessibleEvent e(widget, event);
    QAccessible::updateAccessibility(&e);
}

void pressButtonsOnEnter(QWidget* root) {
    auto* filter = new EnterPresses(root);
    const auto buttons = root->findChildren<QAbstractButton*>();
    for (QAbstractButton* button : buttons) {
        button->installEventFilter(filter);
    }
}

void makeSegmentGroup(QWidget* segments, QButtonGroup* group, const QString& name) {
    describe(segments, QAccessible::Grouping, [name] { return name; });
    auto* keys = new SegmentKeys(group);
    const auto buttons = group->buttons();
    for (QAbstractButton* button : buttons) {
        describe(button, QAccessible::RadioButton);
        button->installEventFilter(keys);
    }
    QObject::connect(group, &QButtonGroup::buttonToggled, keys, [keys] { keys->updateTabStop(); });
    keys->updateTabStop();
}

} // namespace quorvel::a11y
