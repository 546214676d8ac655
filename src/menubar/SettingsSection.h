#pragma once

#include "menubar/PanelModel.h"
#include "settings/SettingsManager.h"

#include <QList>
#include <QMap>
#include <QWidget>
#include <vector>

class QButtonGroup;
class QComboBox;
class QHBoxLayout;
class QVBoxLayout;

namespace quorvel {

// The panel's settings block: sensitivity, each break kind's interval and the auto-dismiss
// time, each bound both ways to the settings store. A choice is stored the moment it is
// made; a stored value that matches no choice is shown as it is and left as it is.
class SettingsSection : public QWidget {
    Q_OBJECT

public:
    // `intervals`: a picker for each, in this order, titled by its kind.
    SettingsSection(SettingsManager& settings, const QList<IntervalSetting>& intervals,
                    QWidget* parent = nullptr);

    // For tests and accessibility: the controls of the rows.
    QButtonGroup* sensitivityGroup() const { return m_sensitivity; }
    // Null for a kind it was not given.
    QComboBox* intervalPicker(OverlayType type) const { return m_intervals.value(type); }
    QComboBox* autoDismissPicker() const { return m_autoDismiss; }

    // Shows the stored values again.
    void refresh();

private:
    // A picker bound to a setting in seconds: one row of the panel.
    struct Picker {
        QComboBox* box;
        qint64 (SettingsManager::*value)() const;
        QString (*label)(qint64);
    };

    QHBoxLayout* settingRow(const QString& title, QWidget* control);
    void store(void (SettingsManager::*assign)(qint64), qint64 value);
    // Adds a row titled `title` whose picker offers `choices`, shows `value` and sets it with
    // `assign`; each choice is written by `label`.
    QComboBox* addPicker(QVBoxLayout* column, const QString& title, int width,
                         const QList<qint64>& choices, qint64 (SettingsManager::*value)() const,
                         void (SettingsManager::*assign)(qint64), QString (*label)(qint64));

    SettingsManager& m_settings;
    std::vector<Picker> m_pickers;
    QButtonGroup* m_sensitivity = nullptr;
    QMap<OverlayType, QComboBox*> m_intervals;
    QComboBox* m_autoDismiss = nullptr;
    bool m_refreshQueued = false;
};

} // namespace quorvel
