#pragma once

#include "menubar/PanelModel.h"

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace quorvel {

class AppState;
class MenuBarView;
class TrayWatcher;

// The tray icon and its panel. Where the desktop has no tray (GNOME without the
// AppIndicator extension), the panel is a small normal window instead, and the icon takes
// over as soon as a tray turns up. The panel shows `appState` and the settings and statistics
// of `stores`. `bus` is the session bus, where D-Bus trays live.
class QuorvelApp : public QObject {
    Q_OBJECT

public:
    enum class Mode { tray, window };

    QuorvelApp(AppState& appState, const PanelStores& stores,
               QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // Names the application, sets its icon, and keeps it running with no window open (it
    // lives in the tray: only Quit ends it). Call once, right after making the QApplication.
    static void setUpApplication();
    ~QuorvelApp() override;

    Mode mode() const { return m_mode; }
    QString trayIconName() const { return m_iconName; }
    QWidget* panelWindow() const { return m_panelWindow; }
    MenuBarView* menuBarView() const { return m_view; }
    // The tray icon's menu (open the panel, quit), for trays that open a menu on a click.
    QMenu* trayMenu() const { return m_trayMenu.get(); }

    // Shows the panel (a second launch hands over here, with its launcher's activation token
    // if it had one).
    void showPanel(const QByteArray& activationToken = {});
    void togglePanel();
    // Ends Quorvel (the panel's Quit).
    void quit();

    // The tray icon for one of the project's icon names: a light figure with a dark rim,
    // readable on light and dark panels alike.
    static QIcon trayIcon(const QString& name);

    // Where the panel of `size` goes for a tray icon at `anchor`, on the screen area `area`
    // that holds the icon: below the icon, or above it when the icon is in the lower half,
    // centred on it and kept inside the area.
    static QPoint panelPosition(const QRect& anchor, const QSize& size, const QRect& area);

Q_SIGNALS:
    // The tray icon or the fallback window is on screen.
    void shown();

private:
    void allowClose();
    void useTray();
    void useWindow();
    void updateIcon();
    void placePanelNearTray(bool clicked);
    QRect trayIconGeometry() const;

    void makeView();

    AppState& m_appState;
    PanelStores m_stores;
    Mode m_mode = Mode::window;
    QString m_iconName;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<QMenu> m_trayMenu;
    QPointer<QWidget> m_panelWindow;
    MenuBarView* m_view = nullptr;
    TrayWatcher* m_trayWatcher = nullptr;
    // Where the pointer was when the icon was last clicked, for a tray that does not say where
    // its icon is: a panel asked for otherwise (a second launch) opens there too.
    std::optional<QRect> m_clickedIcon;
};

} // namespace quorvel
