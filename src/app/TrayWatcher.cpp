#include "app/TrayWatcher.h"

#include "app/AppLogging.h"
#include "platform/X11.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>

namespace quorvel {

namespace {

const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

QDBusMessage hostQuery() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        TrayWatcher::watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    call << TrayWatcher::watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    call.setAutoStartService(false);
    return call;
}

bool saysRegistered(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage &&
           reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
}

} // namespace

TrayWatcher::TrayWatcher(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)) {}

TrayWatcher::~TrayWatcher() {
    if (qApp != nullptr) {
        qApp->removeNativeEventFilter(this);
    }
}

bool TrayWatcher::trayAvailable() const {
    return statusNotifierHostRegistered() || xembedTrayPresent();
}

bool TrayWatcher::statusNotifierHostRegistered() const {
    return m_bus.isConnected() && saysRegistered(m_bus.call(hostQuery(), QDBus::Block, 2000));
}

bool TrayWatcher::xembedTrayPresent() const {
    return x11::xembedTrayPresent();
}

void TrayWatcher::watch() {
    if (m_watching) {
        return;
    }
    m_watching = true;
    // D-Bus trays: the watcher's name turning up, and a host registering with a watcher that
    // was already there (some watchers take their name a moment before their host is ready).
    if (m_bus.isConnected()) {
        auto* names = new QDBusServiceWatcher(watcherService, m_bus,
                                              QDBusServiceWatcher::WatchForRegistration, this);
        connect(names, &QDBusServiceWatcher::serviceRegistered, this, [this] {
            check();
            QTimer::singleShot(2000, this, &TrayWatcher::check);
        });
        m_bus.connect(watcherService, watcherPath, watcherService,
                      QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(check()));
    }
    // XEmbed trays announce themselves to every client; a slow poll covers a tray whose
    // message went astray.
    if (x11::connected()) {
        qApp->installNativeEventFilter(this);
        m_poll = new QTimer(this);
        m_poll->setInterval(30000);
        m_poll->setTimerType(Qt::VeryCoarseTimer);
        connect(m_poll, &QTimer::timeout, this, &TrayWatcher::check);
        m_poll->start();
    }
    // Asked again without waiting: a watcher too busy to answer at start-up answers now.
    check();
}

void TrayWatcher::check() {
    if (!m_watching) {
        return;
    }
    const bool xembed = xembedTrayPresent();
    if (xembed && !m_bus.isConnected()) {
        qCInfo(lcApp, "a system tray appeared (XEmbed)");
        found();
    } else if (m_bus.isConnected()) {
        // Not blocking: the watcher may be slow, or busy calling us. With an XEmbed tray there
        // to fall back on, it gets two seconds; without one, D-Bus's usual time: a busy
        // session's watcher may take longer, and no answer would mean no icon.
        auto* pending = new QDBusPendingCallWatcher(
            xembed ? m_bus.asyncCall(hostQuery(), 2000) : m_bus.asyncCall(hostQuery()), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this,
                [this, xembed](QDBusPendingCallWatcher* call) {
                    call->deleteLater();
                    if (!m_watching) {
                        return;
                    }
                    // Where both are there, Qt puts the icon with the StatusNotifier host.
                    if (saysRegistered(call->reply())) {
                        qCInfo(lcApp, "a system tray appeared (StatusNotifier host)");
                        found();
                    } else if (xembed) {
                        qCInfo(lcApp, "a system tray appeared (XEmbed)");
                        found();
                    }
                });
    }
}

void TrayWatcher::found() {
    m_watching = false;
    if (m_poll != nullptr) {
        m_poll->stop();
    }
    qApp->removeNativeEventFilter(this);
    Q_EMIT trayAppeared();
}

bool TrayWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (m_watching && x11::isTrayAnnouncement(eventType, message)) {
        QMetaObject::invokeMethod(this, &TrayWatcher::check, Qt::QueuedConnection);
    }
    return false;
}

QRect TrayWatcher::x11IconGeometry(QWidget* iconWindow) {
    return x11::placeOnScreen(iconWindow);
}

} // namespace quorvel
