#include "app/QuorvelApp.h"

#include "app/Activation.h"
#include "app/AppState.h"
#include "common/Theme.h"
#include "menubar/MenuBarView.h"
#include "menubar/StatusIndicator.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

namespace quorvel {

namespace {

// The panel as a borderless popup next to the tray icon; it goes away when it loses focus.
class TrayPanel : public QWidget {
public:
    TrayPanel() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
        setAttribute(Qt::WA_DeleteOnClose, false);
        setWindowTitle(QStringLiteral("Quorvel"));
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

// The panel as a small normal window, for desktops without a tray. The user closing it
// only minimises it: Quit is the way out.
class PanelWindow : public QWidget {
public:
    PanelWindow() : QWidget(nullptr, Qt::Window) {
        setWindowTitle(QStringLiteral("Quorvel"));
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
        showMinimized();
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
}

QuorvelApp::QuorvelApp(AppState& appState, QObject* parent)
    : QObject(parent), m_appState(appState) {
    // The desktop session is ending: let the window close.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { allowClose(); });
    connect(&m_appState, &AppState::objectWillChange, this, [this] {
        QMetaObject::invokeMethod(
            this, [this] { updateIcon(); }, Qt::QueuedConnection);
    });
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        useTray();
    } else {
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
    const QString name = StatusIndicator::iconName(
        m_appState.postureStatus(), m_appState.settings().postureMonitoringEnabled());
    if (!m_tray) {
        m_iconName = name;
        return;
    }
    // The status text changes more often than the icon ("Good", "No person detected").
    const QString tip = QStringLiteral("Quorvel: ") + rawValue(m_appState.postureStatus());
    if (m_tray->toolTip() != tip) {
        m_tray->setToolTip(tip);
    }
    if (name != m_iconName) {
        m_iconName = name;
        m_tray->setIcon(trayIcon(name));
    }
}

void QuorvelApp::useTray() {
    const bool wasVisible =
        m_panelWindow && m_panelWindow->isVisible() && !m_panelWindow->isMinimized();
    if (m_trayWatch) {
        m_trayWatch->stop();
    }
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
        m_view = new MenuBarView(m_appState);
        connect(m_view, &MenuBarView::quitRequested, this, &QuorvelApp::quit);
    }
    layout->addWidget(m_view);

    m_mode = Mode::tray;
    m_tray = std::make_unique<QSystemTrayIcon>();
    m_iconName.clear();
    updateIcon();
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context ||
                    reason == QSystemTrayIcon::DoubleClick) {
                    togglePanel();
                }
            });
    m_tray->show();
    Q_EMIT shown();
    if (wasVisible) {
        showPanel();
    }
}

void QuorvelApp::useWindow() {
    m_mode = Mode::window;
    updateIcon();
    auto* window = new PanelWindow;
    m_panelWindow = window;
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    m_view = new MenuBarView(m_appState);
    connect(m_view, &MenuBarView::quitRequested, this, &QuorvelApp::quit);
    layout->addWidget(m_view);
    window->show();
    Q_EMIT shown();

    // Switch to the icon when a tray appears (checked now and then, only in this mode). Each
    // check asks the X server (and the session bus) and wakes two threads, so twice a minute
    // is enough: a tray hardly ever turns up later.
    m_trayWatch = new QTimer(this);
    m_trayWatch->setInterval(30000);
    m_trayWatch->setTimerType(Qt::VeryCoarseTimer);
    connect(m_trayWatch, &QTimer::timeout, this, [this] {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            useTray();
        }
    });
    m_trayWatch->start();
}

void QuorvelApp::allowClose() {
    if (auto* window = dynamic_cast<PanelWindow*>(m_panelWindow.data())) {
        window->quitting = true;
    }
}

void QuorvelApp::quit() {
    allowClose();
    QCoreApplication::quit();
}

void QuorvelApp::showPanel(const QByteArray& activationToken) {
    if (!m_panelWindow) {
        return;
    }
    QWidget* window = m_panelWindow;
    if (m_mode == Mode::tray) {
        placePanelNearTray();
        showAndActivate(window, activationToken, [window] { window->show(); });
    } else {
        showAndActivate(window, activationToken, [window] { window->showNormal(); });
    }
}

void QuorvelApp::togglePanel() {
    if (m_panelWindow && m_panelWindow->isVisible() && !m_panelWindow->isMinimized()) {
        m_panelWindow->hide();
    } else {
        showPanel();
    }
}

void QuorvelApp::placePanelNearTray() {
    m_panelWindow->adjustSize();
    const QSize size = m_panelWindow->sizeHint();
    QRect anchor = m_tray ? m_tray->geometry() : QRect();
    if (!anchor.isValid()) {
        // Status-notifier trays don't say where the icon is; the pointer is next to it.
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    }
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    QPoint pos(anchor.center().x() - size.width() / 2, anchor.bottom() + 4);
    if (anchor.center().y() > area.center().y()) {
        pos.setY(anchor.top() - size.height() - 4); // panel at the bottom of the screen
    }
    pos.setX(std::clamp(pos.x(), area.left() + 4,
                        std::max(area.left() + 4, area.right() - size.width() - 4)));
    pos.setY(std::clamp(pos.y(), area.top() + 4,
                        std::max(area.top() + 4, area.bottom() - size.height() - 4)));
    m_panelWindow->move(pos);
}

} // namespace quorvel
