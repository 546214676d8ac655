#include "app/QuorvelApp.h"

#include "app/Translations.h"
#include "platform/Wayland.h"
#include "platform/X11.h"

#include "app/Activation.h"
#include "app/AppLogging.h"
#include "app/AppState.h"
#include "app/TrayWatcher.h"
#include "common/Accessibility.h"
#include "common/Theme.h"
#include "menubar/MenuBarView.h"
#include "menubar/PopupGrab.h"
#include "menubar/StatusIndicator.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

namespace quorvel {

namespace {

// On X11 the panel is a popup: window managers leave it where it is put (i3 would move a
// new window to the output with the focus) and it takes the keyboard while it is open.
// On Wayland a window cannot place itself, and a popup needs a parent window, so it is a
// tool window there.
Qt::WindowFlags trayPanelFlags() {
    const Qt::WindowFlags type = x11::connected() ? Qt::Popup : Qt::Tool;
    return type | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
}

// The panel as a borderless popup next to the tray icon; it goes away when it loses focus.
class TrayPanel : public QWidget {
public:
    TrayPanel() : QWidget(nullptr, trayPanelFlags()) {
        setAttribute(Qt::WA_DeleteOnClose, false);
        setWindowTitle(QStringLiteral("Quorvel"));
        // A window with its title for screen readers, not an unnamed popup.
        a11y::describe(this, QAccessible::Window);
        if (windowType() == Qt::Popup) {
            new PopupGrab(this);
        }
    }

protected:
    void changeEvent(QEvent* event) override {
        if (event->type() == QEvent::ActivationChange && !isActiveWindow() && isVisible()) {
            // A drop-down of one of our pickers keeps the panel open.
            if (!QApplication::activePopupWidget()) {
                hide();
            }
        }
        QWidget::changeEvent(event);
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            hide();
            return;
        }
        QWidget::keyPressEvent(event);
    }
};

// The panel as a small normal window, for desktops without a tray. The user closing it only
// puts it away: Quit is the way out. On X11 it is minimised; a Wayland app cannot bring back
// a window once minimised (and a compositor without a taskbar, such as weston, offers no
// way back either), so there it is hidden, and starting Quorvel again shows it.
class PanelWindow : public QWidget {
public:
    PanelWindow() : QWidget(nullptr, Qt::Window) {
        setWindowTitle(QStringLiteral("Quorvel"));
        a11y::describe(this, QAccessible::Window);
        setWindowIcon(QIcon(QStringLiteral(":/resources/desktop/com.quorvel.Quorvel.svg")));
    }
    bool quitting = false;

protected:
    void closeEvent(QCloseEvent* event) override {
        // QCoreApplication::quit() closes every window first and gives up if one refuses, so
        // once Quorvel is quitting (Quit, the end of the session) the close goes through.
        if (quitting) {
            event->accept();
            return;
        }
        event->ignore();
        if (wayland::isSession()) {
            hide();
        } else {
            showMinimized();
        }
    }
};

} // namespace

void QuorvelApp::setUpApplication() {
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QApplication::setOrganizationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.quorvel.Quorvel"));
    QApplication::setWindowIcon(
        QIcon(QStringLiteral(":/resources/desktop/com.quorvel.Quorvel.svg")));
    QApplication::setQuitOnLastWindowClosed(false);
    installTranslation();
}

QuorvelApp::QuorvelApp(AppState& appState, const PanelStores& stores, QDBusConnection bus,
                       QObject* parent)
    : QObject(parent), m_appState(appState), m_stores(stores),
      m_trayWatcher(new TrayWatcher(std::move(bus), this)) {
    // The desktop session is ending: let the window close.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { allowClose(); });
    connect(&m_appState, &AppState::objectWillChange, this, [this] {
        QMetaObject::invokeMethod(
            this, [this] { updateIcon(); }, Qt::QueuedConnection);
    });
    // The popup panel gives way to an overlay: left open under it, it would take the first
    // click or Escape meant for the overlay.
    connect(&m_appState, &AppState::overlayShown, this, [this] {
        if (m_mode == Mode::tray && m_panelWindow && m_panelWindow->isVisible()) {
            qCInfo(lcApp, "an overlay came up: the panel closes");
            m_panelWindow->hide();
        }
    });
    // Qt is not asked about the tray before the watcher has seen one (see TrayWatcher).
    if (m_trayWatcher->trayAvailable()) {
        qCInfo(lcApp, "a system tray is there: the icon goes in it");
        useTray();
    } else {
        qCInfo(lcApp, "no system tray: the panel opens in a window until one appears");
        useWindow();
    }
}

QuorvelApp::~QuorvelApp() {
    delete m_panelWindow.data();
}

QIcon QuorvelApp::trayIcon(const QString& name) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        const qreal rim = std::max(1.0, size / 16.0);
        const int inner = size - qRound(2 * rim);
        const QPixmap dark = theme::iconPixmap(name, QColor(20, 20, 20, 200), inner, 1.0);
        const QPixmap light = theme::iconPixmap(name, QColor(250, 250, 250), inner, 1.0);
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        const QPointF origin(rim, rim);
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                if (dx || dy) {
                    p.drawPixmap(origin + QPointF(dx * rim, dy * rim), dark);
                }
            }
        }
        p.drawPixmap(origin, light);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void QuorvelApp::updateIcon() {
    const QString name = StatusIndicator::iconName(m_appState.postureStatus(),
                                                   m_appState.postureMonitoringEnabled());
    if (!m_tray) {
        m_iconName = name;
        return;
    }
    // The status text changes more often than the icon ("Good", "No person detected").
    const QString tip = tr("Quorvel: %1").arg(label(m_appState.postureStatus()));
    if (m_tray->toolTip() != tip) {
        m_tray->setToolTip(tip);
        // An XEmbed icon is a little window of ours: screen readers read its name.
        const auto widgets = QApplication::topLevelWidgets();
        for (QWidget* widget : widgets) {
            if (widget->objectName() == QLatin1String("QSystemTrayIconSys")) {
                widget->setAccessibleName(QStringLiteral("Quorvel"));
                widget->setAccessibleDescription(label(m_appState.postureStatus()));
            }
        }
    }
    if (name != m_iconName) {
        m_iconName = name;
        m_tray->setIcon(trayIcon(name));
    }
}

void QuorvelApp::useTray() {
    // The fallback window goes; the icon is one click away. The panel is not put up at once:
    // a tray that has only just appeared has not placed the icon yet.
    if (m_panelWindow) {
        auto* old = m_panelWindow.data();
        m_view->setParent(nullptr);
        if (auto* window = dynamic_cast<PanelWindow*>(old)) {
            window->quitting = true;
        }
        delete old;
    }
    auto* panelWidget = new TrayPanel;
    m_panelWindow = panelWidget;
    auto* layout = new QVBoxLayout(panelWidget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    if (!m_view) {
        makeView();
    }
    layout->addWidget(m_view);

    m_mode = Mode::tray;
    m_tray = std::make_unique<QSystemTrayIcon>();
    m_iconName.clear();
    updateIcon();
    // A click opens the panel where the tray says it was clicked; trays that open the item's
    // menu on a click instead (GNOME's AppIndicator extension) get a small one.
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    togglePanel();
                }
            });
    m_trayMenu = std::make_unique<QMenu>();
    m_trayMenu->addAction(tr("Open Quorvel"), this, [this] { showPanel(); });
    m_trayMenu->addAction(tr("Quit Quorvel"), this, &QuorvelApp::quit);
    m_tray->setContextMenu(m_trayMenu.get());
    m_tray->show();
    m_tray->setToolTip(QString());
    updateIcon(); // names the icon's window, which exists now
    Q_EMIT shown();
}

void QuorvelApp::useWindow() {
    m_mode = Mode::window;
    updateIcon();
    auto* window = new PanelWindow;
    m_panelWindow = window;
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    makeView();
    layout->addWidget(m_view);
    window->show();
    Q_EMIT shown();

    // The icon takes over when a tray appears.
    connect(m_trayWatcher, &TrayWatcher::trayAppeared, this, &QuorvelApp::useTray,
            Qt::UniqueConnection);
    m_trayWatcher->watch();
}

void QuorvelApp::makeView() {
    m_view = new MenuBarView(m_appState, m_stores);
    connect(m_view, &MenuBarView::quitRequested, this, &QuorvelApp::quit);
}

void QuorvelApp::allowClose() {
    if (auto* window = dynamic_cast<PanelWindow*>(m_panelWindow.data())) {
        window->quitting = true;
    }
}

void QuorvelApp::quit() {
    allowClose();
    // Not QCoreApplication::quit(): that first asks every window to close and gives up when
    // one refuses, as an overlay on screen does (a close is its dismissal). Quit always quits.
    QCoreApplication::exit(0);
}

void QuorvelApp::showPanel(const QByteArray& activationToken) {
    if (!m_panelWindow) {
        return;
    }
    qCInfo(lcApp, "panel asked for (%s activation token)",
           activationToken.isEmpty() ? "without an" : "with an");
    QWidget* window = m_panelWindow;
    if (m_mode == Mode::tray) {
        placePanelNearTray(false);
        showAndActivate(window, activationToken, [window] { window->show(); });
        return;
    }
    // A Wayland app cannot bring back a window the compositor minimised (nor know that it
    // did): a new one comes up in its place.
    if (wayland::isSession() && !window->isActiveWindow()) {
        window->hide();
    }
    showAndActivate(window, activationToken, [window] { window->showNormal(); });
}

void QuorvelApp::togglePanel() {
    if (!m_panelWindow) {
        return;
    }
    if (m_panelWindow->isVisible() && !m_panelWindow->isMinimized()) {
        m_panelWindow->hide();
    } else if (m_mode == Mode::tray) {
        placePanelNearTray(true);
        showAndActivate(m_panelWindow, {}, [window = m_panelWindow] { window->show(); });
    } else {
        showPanel();
    }
}

QRect QuorvelApp::trayIconGeometry() const {
    // An XEmbed icon is a window of ours inside the tray's: ask the X server where it is.
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget* widget : widgets) {
        if (widget->objectName() == QLatin1String("QSystemTrayIconSys")) {
            if (const QRect rect = TrayWatcher::x11IconGeometry(widget); rect.isValid()) {
                return rect;
            }
        }
    }
    return m_tray ? m_tray->geometry() : QRect();
}

void QuorvelApp::placePanelNearTray(bool clicked) {
    m_panelWindow->adjustSize();
    QRect anchor = trayIconGeometry();
    // Status-notifier trays don't say where the icon is; after a click the pointer is on it,
    // and otherwise the panel opens where the last click opened it (else at the pointer).
    if (clicked && (!anchor.isValid() || !anchor.contains(QCursor::pos()))) {
        anchor = QRect(QCursor::pos(), QSize(1, 1));
        m_clickedIcon = anchor;
    } else if (!anchor.isValid()) {
        anchor = m_clickedIcon.value_or(QRect(QCursor::pos(), QSize(1, 1)));
    }
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    m_panelWindow->move(panelPosition(anchor, m_panelWindow->sizeHint(), area));
}

QPoint QuorvelApp::panelPosition(const QRect& anchor, const QSize& size, const QRect& area) {
    QPoint pos(anchor.center().x() - size.width() / 2, anchor.bottom() + 4);
    if (anchor.center().y() > area.center().y()) {
        pos.setY(anchor.top() - size.height() - 4); // panel at the bottom of the screen
    }
    pos.setX(std::clamp(pos.x(), area.left() + 4,
                        std::max(area.left() + 4, area.right() - size.width() - 4)));
    pos.setY(std::clamp(pos.y(), area.top() + 4,
                        std::max(area.top() + 4, area.bottom() - size.height() - 4)));
    return pos;
}

} // namespace quorvel
