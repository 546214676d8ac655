#include "menubar/SettingsSection.h"

#include "common/Accessibility.h"
#include "common/Theme.h"
#include "overlay/OverlayType.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace quorvel {

namespace {

template <typename Choices> QList<qint64> rawValues(const Choices& choices) {
    QList<qint64> values;
    for (auto choice : choices) {
        values.append(rawValue(choice));
    }
    return values;
}

// Marks the choice added for a stored value that is none of the usual ones.
constexpr int storedOnlyRole = Qt::UserRole + 1;

// Shows `value` as the current choice. One that is none of the usual choices (set by hand in
// the settings file) is shown as it is, as one more choice at the end, rather than a blank
// picker; it goes again once the store holds another value.
void select(QComboBox* box, qint64 value, QString (*label)(qint64)) {
    const QSignalBlocker block(box);
    for (int i = box->count() - 1; i >= 0; --i) {
        if (box->itemData(i, storedOnlyRole).toBool() && box->itemData(i).toLongLong() != value) {
            box->removeItem(i);
        }
    }
    int index = box->findData(QVariant::fromValue(value));
    if (index < 0) {
        box->addItem(label(value), QVariant::fromValue(value));
        index = box->count() - 1;
        box->setItemData(index, true, storedOnlyRole);
    }
    box->setCurrentIndex(index);
}

} // namespace

SettingsSection::SettingsSection(SettingsManager& settings, const QList<IntervalSetting>& intervals,
                                 QWidget* parent)
    : QWidget(parent), m_settings(settings) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 0, 4, 0);
    column->setSpacing(12);

    auto* heading = new QLabel(tr("Settings"), this);
    heading->setFont(theme::font(theme::TextRole::headline));
    heading->setContentsMargins(0, 0, 0, 4);
    column->addWidget(heading);

    // Sensitivity: a segmented control of the three cases.
    auto* segments = new QWidget(this);
    segments->setFixedWidth(180);
    auto* segmentsLayout = new QHBoxLayout(segments);
    segmentsLayout->setContentsMargins(0, 0, 0, 0);
    segmentsLayout->setSpacing(0);
    m_sensitivity = new QButtonGroup(this);
    m_sensitivity->setExclusive(true);
    int id = 0;
    for (auto s : allSlouchSensitivities) {
        auto* button = new QToolButton(segments);
        button->setText(label(s));
        button->setCheckable(true);
        button->setFont(theme::font(theme::TextRole::caption));
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        m_sensitivity->addButton(button, id++);
        segmentsLayout->addWidget(button);
    }
    theme::styleAsSegmentedControl(segments);
    a11y::makeSegmentGroup(segments, m_sensitivity, tr("Sensitivity"));
    connect(m_sensitivity, &QButtonGroup::idClicked, this, [this](int index) {
        m_settings.setSensitivity(allSlouchSensitivities.at(static_cast<size_t>(index)));
    });
    column->addLayout(settingRow(tr("Sensitivity"), segments));

    for (const IntervalSetting& interval : intervals) {
        if (interval.value != nullptr && interval.assign != nullptr) {
            m_intervals.insert(interval.type,
                               addPicker(column, intervalTitle(interval.type), 100,
                                         rawValues(allReminderIntervals), interval.value,
                                         interval.assign, reminderIntervalLabel));
        }
    }
    m_autoDismiss = addPicker(column, tr("Auto-dismiss"), 80, rawValues(allAutoDismissTimeouts),
                              &SettingsManager::autoDismissTimeout,
                              &SettingsManager::setAutoDismissTimeout, autoDismissLabel);

    // Redraw after each change of the store, once the new value is stored.
    connect(&m_settings, &SettingsManager::objectWillChange, this, [this] {
        if (!m_refreshQueued) {
            m_refreshQueued = true;
            QMetaObject::invokeMethod(
                this, [this] { refresh(); }, Qt::QueuedConnection);
        }
    });
    refresh();
}

QComboBox* SettingsSection::addPicker(QVBoxLayout* column, const QString& title, int width,
                                      const QList<qint64>& choices,
                                      qint64 (SettingsManager::*value)() const,
                                      void (SettingsManager::*assign)(qint64),
                                      QString (*label)(qint64)) {
    auto* box = new QComboBox(this);
    box->setFixedWidth(width);
    box->setFont(theme::font(theme::TextRole::caption));
    for (qint64 choice : choices) {
        box->addItem(label(choice), QVariant::fromValue(choice));
    }
    connect(box, &QComboBox::activated, this,
            [this, box, assign](int index) { store(assign, box->itemData(index).toLongLong()); });
    column->addLayout(settingRow(title, box));
    m_pickers.push_back(Picker{box, value, label});
    return box;
}

// Called from the pickers' slots rather than calling `assign` there: inside such a lambda,
// GCC 12's UndefinedBehaviorSanitizer checked the member call's object at a stack address that
// is not the store (AddressSanitizer then stopped the test); from a member function it does not.
void SettingsSection::store(void (SettingsManager::*assign)(qint64), qint64 value) {
    (m_settings.*assign)(value);
}

QHBoxLayout* SettingsSection::settingRow(const QString& title, QWidget* control) {
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    auto* label = new QLabel(title, this);
    // 110 wide where there is room; the segmented control's 180 leaves a little less.
    label->setMinimumWidth(96);
    label->setMaximumWidth(110);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setFont(theme::font(theme::TextRole::body));
    theme::useSecondaryText(label);
    // The title names the control for screen readers: a picker says its title and its choice.
    // (Qt's own picker interface on Linux speaks only the choice.)
    label->setBuddy(control);
    control->setAccessibleName(title);
    if (qobject_cast<QComboBox*>(control)) {
        a11y::describe(control, QAccessible::ComboBox);
    }
    row->addWidget(label);
    row->addStretch(1);
    row->addWidget(control, 0, Qt::AlignVCenter);
    return row;
}

void SettingsSection::refresh() {
    m_refreshQueued = false;
    const auto sensitivity = m_settings.sensitivity();
    for (size_t i = 0; i < allSlouchSensitivities.size(); ++i) {
        m_sensitivity->button(static_cast<int>(i))
            ->setChecked(allSlouchSensitivities[i] == sensitivity);
    }
    for (const Picker& picker : m_pickers) {
        select(picker.box, (m_settings.*picker.value)(), picker.label);
    }
}

} // namespace quorvel
