#pragma once

#include <QAbstractButton>
#include <QWidget>
#include <functional>

class QLabel;

namespace quorvel {

// A small on/off switch.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT

public:
    explicit ToggleSwitch(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A titled row with a switch at its trailing edge. `toggled` fires only for the user's
// clicks; `setChecked` just shows a value.
class ToggleRow : public QWidget {
    Q_OBJECT

public:
    ToggleRow(const QString& title, QWidget* parent = nullptr);

    QString title() const;
    bool isChecked() const;
    void setChecked(bool checked);
    // What screen readers hear after the title and state, read when they ask.
    void setDescription(std::function<QString()> description);
    // The switch itself, for tests.
    QAbstractButton* toggle() const { return m_switch; }
    // What a click does, for tests.
    void click();

Q_SIGNALS:
    void toggled(bool checked);

private:
    QLabel* m_title = nullptr;
    ToggleSwitch* m_switch = nullptr;
};

} // namespace quorvel
