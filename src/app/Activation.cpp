#include "app/Activation.h"

#include "platform/Wayland.h"
#include "platform/X11.h"

#include <QWidget>
#include <algorithm>

namespace quorvel {

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
    if (wayland::isSession()) {
        // The Wayland plugin hands this token to the compositor on the next
        // requestActivate() (and then forgets it).
        qputenv("XDG_ACTIVATION_TOKEN", token);
        return;
    }
    // Window managers read the launch's id (and its time) from the window.
    x11::setStartupId(window, token);
}

void afterShow(QWidget* window, const QByteArray& token) {
    if (window == nullptr) {
        return;
    }
    window->raise();
    window->activateWindow();
    if (isUsableActivationToken(token) && !wayland::isSession()) {
        x11::activateForLaunch(window, token);
    }
}

} // namespace detail

} // namespace quorvel
