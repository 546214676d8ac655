#pragma once

#include "settings/SettingsManager.h"

#include <QWidget>

class QButtonGroup;
class QComboBox;
class QHBoxLayout;

namespace quorvel {

// The panel's settings block: sensitivity, the two reminder intervals and the auto-dismiss
// time, each bound both ways to the settings store. A choice is stored the moment it is
// made; a stored value that matches no choice shows no choice and is left as it is.
class SettingsSection : public QWidget {
    Q_OBJECT

public:
    explicit SettingsSection(SettingsManager& settings, QWidget* parent = nullptr);

    // For tests and accessibility: the controls of the four rows.
    QButtonGroup* sensitivityGroup() const { return m_sensitivity; }
    QComboBox* standIntervalPicker() const { return m_standInterval; }
    QComboBox* waterIntervalPicker() const { return m_waterInterval; }
    QComboBox* autoDismissPicker() const { return m_autoDismiss; }

    // Shows the stored values again.
    void refresh();

private:
    QHBoxLayout* settingRow(const QString& title, QWidget* control);

    SettingsManager& m_settings;
    QButtonGroup* m_sensitivity = nullptr;
    QComboBox* m_standInterval = nullptr;
    QComboBox* m_waterInterval = nullptr;
    QComboBox* m_autoDismiss = nullptr;
    bool m_refreshQueued = false;
};

} // namespace quorvel
