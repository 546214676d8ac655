#include "app/TrayWatcher.h"

#include "app/AppLogging.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>

#if defined(QUORVEL_HAVE_XCB)
#include "common/XcbAtom.h"
#if QT_CONFIG(xcb)
#define QUORVEL_X11_TRAY 1
#endif
#endif

#include <cstdlib>

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
#if defined(QUORVEL_X11_TRAY)
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr) {
        return false;
    }
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        connection,
        xcb_get_selection_owner(connection, internAtom(connection, "_NET_SYSTEM_TRAY_S0")),
        nullptr);
    const bool owned = reply != nullptr && reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
#else
    return false;
#endif
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
#if defined(QUORVEL_X11_TRAY)
    // XEmbed trays announce themselves to every client with a MANAGER message on the root
    // window; a slow poll covers a tray whose message went astray.
    if (x11Connection() != nullptr) {
        qApp->installNativeEventFilter(this);
        m_poll = new QTimer(this);
        m_poll->setInterval(30000);
        m_poll->setTimerType(Qt::VeryCoarseTimer);
        connect(m_poll, &QTimer::timeout, this, &TrayWatcher::check);
        m_poll->start();
    }
#endif
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
#if defined(QUORVEL_X11_TRAY)
    if (m_watching && eventType == "xcb_generic_event_t") {
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto* client = static_cast<const xcb_client_message_event_t*>(message);
            xcb_connection_t* connection = x11Connection();
            if (connection != nullptr && client->type == internAtom(connection, "MANAGER")) {
                QMetaObject::invokeMethod(this, &TrayWatcher::check, Qt::QueuedConnection);
            }
        }
    }
#else
    Q_UNUSED(eventType);
    Q_UNUSED(message);
#endif
    return false;
}

QRect TrayWatcher::x11IconGeometry(QWidget* iconWindow) {
#if defined(QUORVEL_X11_TRAY)
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr || iconWindow == nullptr) {
        return {};
    }
    const auto id = static_cast<xcb_window_t>(iconWindow->winId());
    xcb_translate_coordinates_reply_t* origin = xcb_translate_coordinates_reply(
        connection, xcb_translate_coordinates(connection, id, rootOf(connection), 0, 0), nullptr);
    xcb_get_geometry_reply_t* size =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr);
    QRect result;
    if (origin != nullptr && size != nullptr) {
        const qreal ratio = iconWindow->devicePixelRatioF();
        result = QRect(qRound(origin->dst_x / ratio), qRound(origin->dst_y / ratio),
                       qRound(size->width / ratio), qRound(size->height / ratio));
    }
    std::free(origin);
    std::free(size);
    return result;
#else
    Q_UNUSED(iconWindow);
    return {};
#endif
}

} // namespace quorvel
