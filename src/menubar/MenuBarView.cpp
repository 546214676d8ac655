#include "menubar/MenuBarView.h"

#include "common/Accessibility.h"
#include "common/Theme.h"
#include "menubar/MenuBarLogging.h"
#include "menubar/PanelModel.h"
#include "menubar/SettingsSection.h"
#include "menubar/StatusIndicator.h"
#include "menubar/ToggleRow.h"
#include "overlay/OverlayType.h"
#include "stats/PostureStatsView.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextLayout>
#include <QVBoxLayout>
#include <algorithm>

namespace quorvel {

namespace {

QColor statusColor(PostureStatus status, const QWidget* widget) {
    switch (status) {
    case PostureStatus::good:
        return theme::green();
    case PostureStatus::slouching:
        return theme::red();
    case PostureStatus::noPersonDetected:
        return theme::orange();
    case PostureStatus::calibrating:
        return theme::blue();
    case PostureStatus::notMonitoring:
        break;
    }
    return theme::secondaryText(widget);
}

// A caption in the secondary text colour of the theme in use. Shown as plain text: some
// captions come from the network.
QLabel* captionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(theme::font(theme::TextRole::caption));
    theme::useSecondaryText(label);
    return label;
}

// `text` wrapped to `width` and cut to its first two lines, the second ending in an ellipsis
// when more follows. Only two lines are broken; the rest is measured once, for the ellipsis.
QString firstTwoLines(const QString& text, const QFont& font, int width) {
    const QString flowing = text.simplified();
    QTextLayout layout(flowing, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    // Each line takes its width before the next one starts.
    QTextLine first = layout.createLine();
    QTextLine second;
    if (first.isValid()) {
        first.setLineWidth(width);
        second = layout.createLine();
    }
    if (second.isValid()) {
        second.setLineWidth(width);
    }
    layout.endLayout();
    if (!first.isValid()) {
        return {};
    }
    QString shown = flowing.mid(first.textStart(), first.textLength()).trimmed();
    if (second.isValid()) {
        const QString rest = flowing.mid(second.textStart());
        const bool more = second.textStart() + second.textLength() < flowing.size();
        shown +=
            QLatin1Char('\n') +
            (more ? QFontMetrics(font).elidedText(rest, Qt::ElideRight, width) : rest.trimmed());
    }
    return shown;
}

QPushButton* smallButton(const QString& text, bool prominent, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setFont(theme::font(theme::TextRole::caption));
    button->setCursor(Qt::PointingHandCursor);
    if (prominent) {
        button->setDefault(false);
        button->setAutoDefault(false);
        theme::setStyleSheet(
            button,
            QStringLiteral(
                "QPushButton { background: palette(highlight); color: palette(highlighted-text); "
                "border: none; border-radius: 5px; padding: 3px 10px; }"
                "QPushButton:pressed { background: palette(dark); }"
                "QPushButton:focus { border: 2px solid palette(window-text); "
                "padding: 1px 8px; }"));
    }
    return button;
}

QVBoxLayout* column(QWidget* owner, int spacing) {
    auto* layout = new QVBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    layout->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    return layout;
}

} // namespace

MenuBarView::MenuBarView(PanelModel& model, const PanelStores& stores, QWidget* parent)
    : QWidget(parent), m_appState(model) {
    setFixedWidth(panelWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(8);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    layout->addWidget(headerSection());
    layout->addWidget(divider());
    layout->addWidget(postureSection());
    layout->addWidget(divider());
    layout->addWidget(reminderSection());
    layout->addWidget(divider());
    auto* stats = new PostureStatsView(&stores.postureLog, this);
    stats->setFixedWidth(panelWidth - 24);
    layout->addWidget(stats);
    layout->addWidget(divider());
    QList<IntervalSetting> intervals;
    for (OverlayType type : model.breakKinds()) {
        intervals.append(model.intervalSetting(type));
    }
    m_settingsSection = new SettingsSection(stores.settings, intervals, this);
    m_settingsSection->setFixedWidth(panelWidth - 24);
    layout->addWidget(m_settingsSection);
    m_updateDivider = divider();
    layout->addWidget(m_updateDivider);
    layout->addWidget(updateSectionWidget());
    layout->addWidget(divider());
    layout->addWidget(footerSection());

    // Redraw after every change of the application state, and when an update turns up.
    connect(&m_appState, &PanelModel::objectWillChange, this, &MenuBarView::scheduleRefresh);
    connect(&m_appState, &PanelModel::updateChanged, this, &MenuBarView::scheduleRefresh,
            Qt::QueuedConnection);

    // The countdown lines move with the reminders' own tick, so the panel adds no wake-up of
    // its own; they are redrawn only while the panel is on screen, once a tick for both, after
    // the countdowns have taken their new values.
    connect(&m_appState, &PanelModel::countdownsChanged, this, [this] {
        if (m_countdownsQueued || !isVisible() || window()->isMinimized()) {
            return;
        }
        m_countdownsQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_countdownsQueued = false;
                refreshCountdowns();
            },
            Qt::QueuedConnection);
    });

    a11y::pressButtonsOnEnter(this);
    refresh();
}

const MenuBarView::ReminderRow* MenuBarView::reminderRow(OverlayType type) const {
    const auto row = std::find_if(m_reminderRows.begin(), m_reminderRows.end(),
                                  [type](const ReminderRow& r) { return r.type == type; });
    return row != m_reminderRows.end() ? &*row : nullptr;
}

ToggleRow* MenuBarView::reminderToggle(OverlayType type) const {
    const ReminderRow* row = reminderRow(type);
    return row != nullptr ? row->toggle : nullptr;
}

QComboBox* MenuBarView::intervalPicker(OverlayType type) const {
    return m_settingsSection->intervalPicker(type);
}

QLabel* MenuBarView::reminderCountdown(OverlayType type) const {
    const ReminderRow* row = reminderRow(type);
    return row != nullptr ? row->countdown : nullptr;
}

QFrame* MenuBarView::divider() {
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    a11y::describe(line, QAccessible::Separator); // not read as a "frame"
    line->setFixedWidth(panelWidth - 24);
    theme::followPalette(line, [](const QPalette& palette) {
        QColor c = palette.color(QPalette::WindowText);
        c.setAlphaF(0.15f);
        return c;
    });
    return line;
}

QWidget* MenuBarView::headerSection() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    m_statusIcon = new QLabel(header);
    m_statusIcon->setFixedSize(24, 24);
    row->addWidget(m_statusIcon);
    auto* texts = new QWidget(header);
    auto* textColumn = column(texts, 2);
    auto* name = new QLabel(QStringLiteral("Quorvel"), texts);
    name->setFont(theme::font(theme::TextRole::headline));
    textColumn->addWidget(name);
    m_statusText = captionLabel(QString(), texts);
    textColumn->addWidget(m_statusText);
    row->addWidget(texts);
    row->addStretch(1);
    return header;
}

QWidget* MenuBarView::postureSection() {
    auto* section = new QWidget(this);
    auto* layout = column(section, 8);
    m_monitoringToggle = new ToggleRow(switchTitle(OverlayType::slouch), section);
    m_monitoringToggle->setFixedWidth(panelWidth - 24);
    connect(m_monitoringToggle, &ToggleRow::toggled, this,
            [this](bool on) { m_appState.togglePostureMonitoring(on); });
    layout->addWidget(m_monitoringToggle);

    m_calibratedRow = new QWidget(section);
    m_calibratedRow->setFixedWidth(panelWidth - 24);
    auto* calibrated = new QHBoxLayout(m_calibratedRow);
    calibrated->setContentsMargins(0, 0, 0, 0);
    calibrated->setSpacing(4);
    calibrated->addWidget(
        theme::iconLabel(QStringLiteral("checkmark.circle.fill"), theme::green(), 12, this));
    calibrated->addWidget(captionLabel(tr("Calibrated"), m_calibratedRow));
    calibrated->addStretch(1);
    auto* recalibrate = smallButton(tr("Recalibrate"), false, m_calibratedRow);
    connect(recalibrate, &QPushButton::clicked, this, [this] { m_appState.startCalibration(); });
    calibrated->addWidget(recalibrate);
    layout->addWidget(m_calibratedRow);

    m_calibrateButton = smallButton(tr("Calibrate Posture"), true, section);
    connect(m_calibrateButton, &QPushButton::clicked, this,
            [this] { m_appState.startCalibration(); });
    layout->addWidget(m_calibrateButton);

    m_cameraErrorRow = new QWidget(section);
    auto* error = new QHBoxLayout(m_cameraErrorRow);
    error->setContentsMargins(0, 0, 0, 0);
    error->setSpacing(4);
    error->addWidget(theme::iconLabel(QStringLiteral("exclamationmark.triangle.fill"),
                                      theme::orange(), 12, this),
                     0, Qt::AlignTop);
    m_cameraErrorText = new QLabel(m_cameraErrorRow);
    m_cameraErrorText->setTextFormat(Qt::PlainText);
    m_cameraErrorText->setFont(theme::font(theme::TextRole::caption));
    // Orange on every theme.
    theme::followPalette(m_cameraErrorText, [](const QPalette&) { return theme::orange(); });
    m_cameraErrorText->setWordWrap(true);
    m_cameraErrorText->setFixedWidth(panelWidth - 24 - 16);
    error->addWidget(m_cameraErrorText);
    layout->addWidget(m_cameraErrorRow);
    // A problem that turns up while the panel is open is read out as it appears (screen
    // readers present a notification that becomes visible), not only with the switch. Its
    // text is the label inside it, not a name as well: Orca leaves out of braille and its
    // history of notifications a label that says what the name says.
    a11y::describe(m_cameraErrorRow, QAccessible::Notification);
    // The switch tells why monitoring is not watching.
    m_monitoringToggle->setDescription([this] {
        return m_cameraErrorRow->isVisibleTo(this) ? m_cameraErrorText->text() : QString();
    });
    return section;
}

QWidget* MenuBarView::reminderSection() {
    auto* section = new QWidget(this);
    auto* layout = column(section, 8);
    auto countdown = [&] {
        QLabel* label = captionLabel(QString(), section);
        label->setContentsMargins(20, 0, 0, 0);
        // Read when a screen reader asks; it hears of a new minute, not of every second.
        label->setAccessibleName(tr("Next"));
        a11y::describe(label, QAccessible::StaticText, [label] { return label->text(); });
        return label;
    };
    // Each switch tells how long to its next reminder.
    for (OverlayType type : m_appState.breakKinds()) {
        auto* toggle = new ToggleRow(switchTitle(type), section);
        toggle->setFixedWidth(panelWidth - 24);
        connect(toggle, &ToggleRow::toggled, this,
                [this, type](bool on) { m_appState.toggleReminder(type, on); });
        layout->addWidget(toggle);
        QLabel* label = countdown();
        layout->addWidget(label);
        toggle->setDescription(
            [this, label] { return label->isVisibleTo(this) ? label->text() : QString(); });
        m_reminderRows.push_back({type, toggle, label});
    }
    return section;
}

QWidget* MenuBarView::updateSectionWidget() {
    m_updateSection = new QWidget(this);
    auto* layout = column(m_updateSection, 6);
    auto* title = new QWidget(m_updateSection);
    auto* row = new QHBoxLayout(title);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(
        theme::iconLabel(QStringLiteral("arrow.down.circle.fill"), theme::blue(), 16, this));
    m_updateTitle = new QLabel(title);
    m_updateTitle->setTextFormat(Qt::PlainText);
    m_updateTitle->setFont(theme::font(theme::TextRole::subheadline, QFont::Medium));
    row->addWidget(m_updateTitle);
    row->addStretch(1);
    layout->addWidget(title);
    // Broken into lines by showUpdate(), so no wrapping here.
    m_releaseNotes = captionLabel(QString(), m_updateSection);
    m_releaseNotes->setFixedWidth(panelWidth - 24);
    layout->addWidget(m_releaseNotes);
    m_downloadButton = smallButton(tr("Download"), true, m_updateSection);
    connect(m_downloadButton, &QPushButton::clicked, this, [this] {
        if (const auto info = m_appState.updateInfo()) {
            QDesktopServices::openUrl(info->downloadURL);
        }
    });
    layout->addWidget(m_downloadButton);
    return m_updateSection;
}

QWidget* MenuBarView::footerSection() {
    auto* footer = new QWidget(this);
    footer->setFixedWidth(panelWidth - 24);
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(0, 0, 0, 0);
    m_testOverlayButton = smallButton(tr("Test Overlay"), false, footer);
    connect(m_testOverlayButton, &QPushButton::clicked, this, [this] { m_appState.testOverlay(); });
    row->addWidget(m_testOverlayButton);
    row->addStretch(1);
    m_quitButton = smallButton(tr("Quit"), false, footer);
    connect(m_quitButton, &QPushButton::clicked, this, &MenuBarView::quitRequested);
    row->addWidget(m_quitButton);
    return footer;
}

void MenuBarView::scheduleRefresh() {
    if (!m_refreshQueued) {
        m_refreshQueued = true;
        QMetaObject::invokeMethod(
            this, [this] { refresh(); }, Qt::QueuedConnection);
    }
}

void MenuBarView::refresh() {
    m_refreshQueued = false;
    const PostureStatus status = m_appState.postureStatus();
    const bool monitoring = m_appState.postureMonitoringEnabled();

    m_statusIconName = StatusIndicator::iconName(status, monitoring);
    m_statusIcon->setPixmap(
        theme::iconPixmap(m_statusIconName, statusColor(status, this), 24, devicePixelRatioF()));
    m_statusText->setText(label(status));

    m_monitoringToggle->setChecked(monitoring);
    const bool calibrated = m_appState.isCalibrated();
    m_calibratedRow->setVisible(monitoring && calibrated);
    m_calibrateButton->setVisible(monitoring && !calibrated);
    // Paused, the reason stands where the camera's problems do.
    const auto pause = m_appState.pauseReason();
    const auto error = pause ? std::optional(pauseReasonText(*pause)) : m_appState.cameraError();
    m_cameraErrorRow->setVisible((monitoring || pause) && error.has_value());
    m_cameraErrorText->setText(error.value_or(QString()));

    for (const ReminderRow& row : m_reminderRows) {
        row.toggle->setChecked(m_appState.reminderEnabled(row.type));
    }
    refreshCountdowns();

    const auto update = m_appState.updateInfo();
    m_updateDivider->setVisible(update.has_value());
    m_updateSection->setVisible(update.has_value());
    if (update != m_shownUpdate) {
        showUpdate(update);
    }
}

void MenuBarView::showUpdate(const std::optional<UpdateInfo>& update) {
    m_shownUpdate = update;
    if (!update) {
        return;
    }
    // One line, however long a version the service names: the icon and spacing take 22.
    m_updateTitle->setText(m_updateTitle->fontMetrics().elidedText(
        tr("Update Available: v%1").arg(update->newVersion), Qt::ElideRight, panelWidth - 24 - 22));
    m_releaseNotes->setVisible(update->releaseNotes.has_value());
    m_releaseNotes->setText(
        update->releaseNotes
            ? firstTwoLines(*update->releaseNotes, m_releaseNotes->font(), panelWidth - 24)
            : QString());
    ++m_releaseNotesLayouts;
}

void MenuBarView::refreshCountdowns() {
    const auto show = [](QLabel* label, const QString& remaining) {
        const QString text = tr("Next: %1").arg(remaining);
        const auto minutes = [](const QString& t) {
            return t.left(t.lastIndexOf(u':'));
        };
        const bool newMinute = minutes(label->text()) != minutes(text);
        label->setText(text);
        if (newMinute) {
            a11y::notify(label, QAccessible::NameChanged);
        }
    };
    for (const ReminderRow& row : m_reminderRows) {
        const bool on = m_appState.reminderEnabled(row.type);
        row.countdown->setVisible(on);
        if (on) {
            show(row.countdown, m_appState.timeRemaining(row.type));
        }
    }
}

void MenuBarView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    qCInfo(lcMenuBar, "panel opened");
    window()->installEventFilter(this);
    if (!m_countdownsSized) {
        sizeCountdowns();
    }
    refresh();
}

void MenuBarView::sizeCountdowns() {
    // A size of their own: the text changing every second then repaints the line alone,
    // without laying out the panel again. Measured when the panel first opens, not when it is
    // made, so that an app whose panel stays hidden in the tray never loads the fonts.
    m_countdownsSized = true;
    for (const ReminderRow& row : m_reminderRows) {
        QLabel* label = row.countdown;
        const QMargins margins = label->contentsMargins();
        label->setFixedSize(panelWidth - 24,
                            label->fontMetrics().height() + margins.top() + margins.bottom());
    }
}

bool MenuBarView::eventFilter(QObject* watched, QEvent* event) {
    // A minimised panel window shows nothing and is not redrawn; brought back, it catches up.
    if (watched == window() && event->type() == QEvent::WindowStateChange &&
        !window()->isMinimized() && isVisible()) {
        refresh();
    }
    return QWidget::eventFilter(watched, event);
}

void MenuBarView::hideEvent(QHideEvent* event) {
    qCInfo(lcMenuBar, "panel closed");
    QWidget::hideEvent(event);
}

void MenuBarView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        scheduleRefresh();
    } else if (event->type() == QEvent::FontChange && m_countdownsSized) {
        sizeCountdowns(); // a larger font would not fit the old height
    }
    QWidget::changeEvent(event);
}

} // namespace quorvel
