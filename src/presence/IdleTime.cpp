#include "presence/IdleTime.h"

#include "presence/PresenceLogging.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>

#if defined(QUORVEL_HAVE_XCB_SCREENSAVER)
#include "common/XcbAtom.h"
#include <xcb/screensaver.h>
#if QT_CONFIG(xcb)
#define QUORVEL_X11_IDLE 1
#endif
#endif

#if defined(QUORVEL_HAVE_WAYLAND_IDLE)
#include "presence/wayland/WaylandIdle.h"
#endif

#if defined(QUORVEL_HAVE_XCB)
#include <xcb/xcb.h>
#endif

#include <cstdlib>

namespace quorvel {

namespace {

template <typename T>
void whenAnswered(const QDBusPendingCall& call, QObject* context,
                  std::function<void(const QDBusPendingReply<T>&)> onReply) {
    auto* watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, onReply = std::move(onReply)] {
                         watcher->deleteLater();
                         onReply(QDBusPendingReply<T>(*watcher));
                     });
}

// An X11 session proper: under XWayland the X server sees only its own clients' input.
bool isX11Session() {
    return QGuiApplication::platformName() == QLatin1String("xcb") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

#if defined(QUORVEL_HAVE_XCB)
std::optional<bool> keyboardGrabbedByAnother(xcb_connection_t* connection) {
    if (connection == nullptr) {
        return std::nullopt;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (screen == nullptr) {
        return std::nullopt;
    }
    xcb_grab_keyboard_reply_t* reply =
        xcb_grab_keyboard_reply(connection,
                                xcb_grab_keyboard(connection, 0, screen->root, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr);
    if (reply == nullptr) {
        return std::nullopt;
    }
    const uint8_t status = reply->status;
    std::free(reply);
    if (status == XCB_GRAB_STATUS_SUCCESS) {
        // Given back before this returns (a round trip), so that a locker starting right now
        // finds the keyboard free.
        xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
    // Frozen: another client's synchronous grab holds it, which is as good as a locker's.
    return status == XCB_GRAB_STATUS_ALREADY_GRABBED || status == XCB_GRAB_STATUS_FROZEN;
}
#endif

IdleTime::IdleTime(bool askX11, bool askWayland, QObject* parent)
    : QObject(parent), m_session(QStringLiteral("quorvel-no-bus")),
      m_askX11(askX11 && isX11Session()) {
#if defined(QUORVEL_HAVE_WAYLAND_IDLE)
    if (askWayland && QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        m_wayland = new WaylandIdle(this);
        connect(m_wayland, &WaylandIdle::activeChanged, this, &IdleTime::sourcesChanged);
    }
#else
    Q_UNUSED(askWayland);
#endif
}

IdleTime::~IdleTime() = default;

void IdleTime::setSessionBus(const QDBusConnection& bus) {
    m_session = bus;
    Q_EMIT sourcesChanged();
}

void IdleTime::query(Answer answer) {
    if (m_askX11) {
        if (const auto ms = askX11()) {
            answered(ms, "the X server");
            answer(ms);
            return;
        }
    }
#if defined(QUORVEL_HAVE_WAYLAND_IDLE)
    if (m_wayland != nullptr && m_wayland->isActive()) {
        const auto ms = m_wayland->idleMs();
        answered(ms, m_wayland->protocol());
        answer(ms);
        return;
    }
#endif
    askMutter(std::move(answer));
}

void IdleTime::answered(std::optional<qint64> ms, const char* source) {
    if (ms) {
        qCDebug(lcPresence, "input idle for %lld ms, from %s", static_cast<long long>(*ms), source);
    } else {
        qCDebug(lcPresence, "input idleness unknown: nobody answers");
    }
}

std::optional<bool> IdleTime::keyboardHeldElsewhere() const {
#if defined(QUORVEL_X11_IDLE)
    if (!m_askX11) {
        return std::nullopt;
    }
    return keyboardGrabbedByAnother(x11Connection());
#else
    return std::nullopt;
#endif
}

std::optional<qint64> IdleTime::askX11() {
#if defined(QUORVEL_X11_IDLE)
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr) {
        return std::nullopt;
    }
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_screensaver_id);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (extension == nullptr || extension->present == 0 || screen == nullptr) {
        return std::nullopt;
    }
    xcb_screensaver_query_info_reply_t* reply = xcb_screensaver_query_info_reply(
        connection, xcb_screensaver_query_info(connection, screen->root), nullptr);
    if (reply == nullptr) {
        return std::nullopt;
    }
    const qint64 ms = reply->ms_since_user_input;
    std::free(reply);
    return ms;
#else
    return std::nullopt;
#endif
}

void IdleTime::askMutter(Answer answer) {
    if (!m_session.isConnected()) {
        answered(std::nullopt, nullptr);
        answer(std::nullopt);
        return;
    }
    const QString service = QStringLiteral("org.gnome.Mutter.IdleMonitor");
    const QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"), service,
        QStringLiteral("GetIdletime"));
    whenAnswered<quint64>(m_session.asyncCall(call), this,
                          [this, answer = std::move(answer)](const auto& reply) mutable {
                              if (reply.isValid()) {
                                  const auto ms = static_cast<qint64>(reply.value());
                                  answered(ms, "org.gnome.Mutter.IdleMonitor");
                                  answer(ms);
                              } else {
                                  askFreedesktop(std::move(answer));
                              }
                          });
}

// KDE answers in milliseconds (the interface's old text says seconds; nobody else
// answers at all).
void IdleTime::askFreedesktop(Answer answer) {
    const QString service = QStringLiteral("org.freedesktop.ScreenSaver");
    const QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/ScreenSaver"),
                                       service, QStringLiteral("GetSessionIdleTime"));
    whenAnswered<quint32>(
        m_session.asyncCall(call), this, [answer = std::move(answer)](const auto& reply) {
            const auto ms = reply.isValid() ? std::optional<qint64>(reply.value()) : std::nullopt;
            answered(ms, "org.freedesktop.ScreenSaver");
            answer(ms);
        });
}

} // namespace quorvel
