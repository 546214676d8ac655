#include "app/Activation.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QWidget>

#if defined(QUORVEL_HAVE_XCB)
#include "common/XcbAtom.h"
#if QT_CONFIG(xcb)
#define QUORVEL_X11_ACTIVATION 1
#endif
#endif

#include <algorithm>
#include <cstring>

namespace quorvel {

namespace {

bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

#if defined(QUORVEL_X11_ACTIVATION)
// The user's time of the launch, which a startup id ends with ("..._TIME<n>").
quint32 launchTime(const QByteArray& startupId) {
    static const QRegularExpression time(QStringLiteral("_TIME([0-9]+)$"));
    const auto match = time.match(QString::fromLatin1(startupId));
    return match.hasMatch() ? match.captured(1).toUInt() : 0;
}

// Startup notification's "remove" message: the launch is complete, the busy feedback ends.
void sendStartupComplete(xcb_connection_t* connection, xcb_window_t window,
                         const QByteArray& startupId) {
    QByteArray message = "remove: ID=";
    for (const char c : startupId) {
        if (c == ' ' || c == '"' || c == '\\') {
            message += '\\';
        }
        message += c;
    }
    message += '\0';
    const xcb_atom_t begin = internAtom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = internAtom(connection, "_NET_STARTUP_INFO");
    for (qsizetype offset = 0; offset < message.size(); offset += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = window;
        event.type = offset == 0 ? begin : more;
        const auto n = static_cast<size_t>(std::min<qsizetype>(20, message.size() - offset));
        std::memcpy(event.data.data8, message.constData() + offset, n);
        xcb_send_event(connection, 0, rootOf(connection), XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char*>(&event));
    }
}
#endif

} // namespace

QByteArray preferredPlatform(const QProcessEnvironment& env) {
    if (!env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty()) {
        return {};
    }
    if (!env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
        env.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland")) {
        return QByteArrayLiteral("wayland;xcb");
    }
    return {};
}

bool isUsableActivationToken(const QByteArray& token) {
    return !token.isEmpty() && token.size() <= 512 &&
           std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 127; });
}

QByteArray launchActivationToken(const QProcessEnvironment& env, const QString& platformName) {
    const QString name = platformName.startsWith(QLatin1String("wayland"))
                             ? QStringLiteral("XDG_ACTIVATION_TOKEN")
                             : QStringLiteral("DESKTOP_STARTUP_ID");
    const QByteArray token = env.value(name).toLatin1();
    return isUsableActivationToken(token) ? token : QByteArray();
}

namespace detail {

void beforeShow(QWidget* window, const QByteArray& token) {
    if (window == nullptr || !isUsableActivationToken(token)) {
        return;
    }
    if (onWayland()) {
        // The Wayland plugin hands this token to the compositor on the next
        // requestActivate() (and then forgets it).
        qputenv("XDG_ACTIVATION_TOKEN", token);
        return;
    }
#if defined(QUORVEL_X11_ACTIVATION)
    if (xcb_connection_t* connection = x11Connection()) {
        // Window managers read the launch's id (and its time) from the window.
        const auto id = static_cast<xcb_window_t>(window->winId());
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                            internAtom(connection, "_NET_STARTUP_ID"),
                            internAtom(connection, "UTF8_STRING"), 8,
                            static_cast<quint32>(token.size()), token.constData());
        xcb_flush(connection);
    }
#endif
}

void afterShow(QWidget* window, const QByteArray& token) {
    if (window == nullptr) {
        return;
    }
    window->raise();
    window->activateWindow();
#if defined(QUORVEL_X11_ACTIVATION)
    if (!isUsableActivationToken(token) || onWayland()) {
        return;
    }
    if (xcb_connection_t* connection = x11Connection()) {
        // Ask again with the launch's time: a window manager that prevents focus stealing
        // weighs it against the active window's last use, not Qt's last event here.
        const auto id = static_cast<xcb_window_t>(window->winId());
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = internAtom(connection, "_NET_ACTIVE_WINDOW");
        event.data.data32[0] = 1; // from an application
        event.data.data32[1] = launchTime(token);
        xcb_send_event(connection, 0, rootOf(connection),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
        sendStartupComplete(connection, id, token);
        xcb_flush(connection);
    }
#else
    Q_UNUSED(token);
#endif
}

} // namespace detail

} // namespace quorvel
