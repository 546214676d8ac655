#include "menubar/ToggleRow.h"

#include "common/Accessibility.h"
#include "common/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace quorvel {

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

// The track, with room around it for the focus ring.
constexpr int ringSpace = 3;

QSize ToggleSwitch::sizeHint() const {
    return {34 + 2 * ringSpace, 20 + 2 * ringSpace};
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track =
        QRectF(rect()).adjusted(ringSpace + 1, ringSpace + 1, -ringSpace - 1, -ringSpace - 1);
    const qreal radius = track.height() / 2;
    QColor trackColor =
        isChecked() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid);
    if (!isEnabled()) {
        trackColor.setAlphaF(0.4f);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(trackColor);
    p.drawRoundedRect(track, radius, radius);
    const qreal knob = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    if (hasFocus()) {
        // A ring apart from the track, in the text colour: it shows on the blue of a switch
        // that is on as well as on the gray of one that is off, in light and dark themes.
        const qreal out = ringSpace - 0.25;
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(palette().color(QPalette::WindowText), 2.0));
        p.drawRoundedRect(track.adjusted(-out, -out, out, out), radius + out, radius + out);
    }
}

ToggleRow::ToggleRow(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    m_title = new QLabel(title, this);
    m_title->setFont(theme::font(theme::TextRole::body));
    m_switch = new ToggleSwitch(this);
    m_switch->setAccessibleName(title);
    a11y::describe(m_switch, QAccessible::CheckBox);
    m_title->setBuddy(m_switch);
    row->addWidget(m_title);
    row->addStretch(1);
    row->addWidget(m_switch);
    connect(m_switch, &ToggleSwitch::clicked, this, &ToggleRow::toggled);
}

QString ToggleRow::title() const {
    return m_title->text();
}
bool ToggleRow::isChecked() const {
    return m_switch->isChecked();
}

void ToggleRow::setChecked(bool checked) {
    const QSignalBlocker block(m_switch);
    m_switch->setChecked(checked);
}

void ToggleRow::setDescription(std::function<QString()> description) {
    a11y::describe(m_switch, QAccessible::CheckBox, {}, std::move(description));
}

void ToggleRow::click() {
    m_switch->click();
}

} // namespace quorvel
