#pragma once

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QObject>
#include <QRect>

class QTimer;
class QWidget;

namespace quorvel {

// Whether the desktop has a system tray to take Quorvel's icon, and the moment one turns up:
// a status-notifier host (Plasma, GNOME's AppIndicator extension, swaybar, waybar ...)
// registered with the session's org.kde.StatusNotifierWatcher, or on X11 an XEmbed tray.
//
// Qt decides once per process whether the D-Bus tray exists, the first time it is asked. So
// nobody should ask Qt (QSystemTrayIcon::isSystemTrayAvailable(), or making a tray icon)
// before this says a tray is there: a tray that starts after Quorvel would never be used.
class TrayWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    static inline const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

    explicit TrayWatcher(QDBusConnection bus = QDBusConnection::sessionBus(),
                         QObject* parent = nullptr);
    ~TrayWatcher() override;

    bool trayAvailable() const;
    // Starts watching for a tray; trayAppeared() follows once, when one is there.
    void watch();

    // Where the tray put the XEmbed icon `iconWindow` (a top-level of this process) on screen,
    // asked from the X server: the window's own idea of its position dates from before the
    // tray took it in. Invalid when not on X11.
    static QRect x11IconGeometry(QWidget* iconWindow);

Q_SIGNALS:
    void trayAppeared();

protected:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    bool statusNotifierHostRegistered() const;
    bool xembedTrayPresent() const;
    Q_SLOT void check();
    void found();

    QDBusConnection m_bus;
    QTimer* m_poll = nullptr;
    bool m_watching = false;
};

} // namespace quorvel
