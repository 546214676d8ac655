#pragma once

#include "common/OverlayRequests.h"
#include "updates/UpdateModels.h"

#include <QPointer>
#include <QWidget>
#include <optional>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QFrame;

namespace quorvel {

class PanelModel;
struct PanelStores;
class PostureStatsView;
class SettingsSection;
class ToggleRow;

// Everything the user sees after clicking the tray icon: status, monitoring and
// calibration, reminder countdowns, statistics, settings, an available update, a test
// overlay and Quit. It keeps no state of its own: each refresh reads the application state.
class MenuBarView : public QWidget {
    Q_OBJECT

public:
    static constexpr int panelWidth = 320;

    MenuBarView(PanelModel& model, const PanelStores& stores, QWidget* parent = nullptr);

    // Reads the application state again and shows it.
    void refresh();

    // Named parts, for tests.
    QLabel* statusTextLabel() const { return m_statusText; }
    QLabel* statusIconLabel() const { return m_statusIcon; }
    QString statusIconName() const { return m_statusIconName; }
    ToggleRow* monitoringToggle() const { return m_monitoringToggle; }
    // A break reminder's switch and countdown, by its kind (one of the model's breakKinds()).
    ToggleRow* reminderToggle(OverlayType type) const;
    QLabel* reminderCountdown(OverlayType type) const;
    // Its interval's picker in the settings.
    QComboBox* intervalPicker(OverlayType type) const;
    ToggleRow* standToggle() const { return reminderToggle(OverlayType::stand); }
    ToggleRow* waterToggle() const { return reminderToggle(OverlayType::water); }
    QWidget* calibratedRow() const { return m_calibratedRow; }
    QPushButton* calibrateButton() const { return m_calibrateButton; }
    QWidget* cameraErrorRow() const { return m_cameraErrorRow; }
    QLabel* cameraErrorLabel() const { return m_cameraErrorText; }
    QLabel* standCountdown() const { return reminderCountdown(OverlayType::stand); }
    QLabel* waterCountdown() const { return reminderCountdown(OverlayType::water); }
    QWidget* updateSection() const { return m_updateSection; }
    QLabel* updateTitle() const { return m_updateTitle; }
    QLabel* releaseNotes() const { return m_releaseNotes; }
    QPushButton* downloadButton() const { return m_downloadButton; }
    QPushButton* testOverlayButton() const { return m_testOverlayButton; }
    QPushButton* quitButton() const { return m_quitButton; }
    // How many times the release notes were laid out: once per change of the update.
    int releaseNotesLayouts() const { return m_releaseNotesLayouts; }

Q_SIGNALS:
    // The user asked to quit.
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void sizeCountdowns();
    QWidget* headerSection();
    QWidget* postureSection();
    QWidget* reminderSection();
    QWidget* updateSectionWidget();
    QWidget* footerSection();
    QFrame* divider();
    void refreshCountdowns();
    void showUpdate(const std::optional<UpdateInfo>& update);
    void scheduleRefresh();

    PanelModel& m_appState;
    QLabel* m_statusIcon = nullptr;
    QString m_statusIconName;
    QLabel* m_statusText = nullptr;
    ToggleRow* m_monitoringToggle = nullptr;
    QWidget* m_calibratedRow = nullptr;
    QPushButton* m_calibrateButton = nullptr;
    QWidget* m_cameraErrorRow = nullptr;
    QLabel* m_cameraErrorText = nullptr;
    // One a break reminder, in the model's order.
    struct ReminderRow {
        OverlayType type;
        ToggleRow* toggle;
        QLabel* countdown;
    };
    std::vector<ReminderRow> m_reminderRows;
    const ReminderRow* reminderRow(OverlayType type) const;
    QFrame* m_updateDivider = nullptr;
    SettingsSection* m_settingsSection = nullptr;
    QWidget* m_updateSection = nullptr;
    QLabel* m_updateTitle = nullptr;
    QLabel* m_releaseNotes = nullptr;
    QPushButton* m_downloadButton = nullptr;
    std::optional<UpdateInfo> m_shownUpdate;
    int m_releaseNotesLayouts = 0;
    QPushButton* m_testOverlayButton = nullptr;
    QPushButton* m_quitButton = nullptr;
    bool m_refreshQueued = false;
    bool m_countdownsQueued = false;
    bool m_countdownsSized = false;
};

} // namespace quorvel
