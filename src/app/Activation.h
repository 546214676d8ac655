#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

class QWidget;

namespace quorvel {

// The Qt platform plugin to ask for, or empty to leave Qt's choice alone: in a Wayland
// session the Wayland plugin, then xcb (Xwayland) when it cannot connect. Qt 6.4 would
// otherwise take xcb on GNOME. A platform the user chose (QT_QPA_PLATFORM) stays.
QByteArray preferredPlatform(const QProcessEnvironment& env);

// The token a launcher handed this process to activate its window with:
// XDG_ACTIVATION_TOKEN for the Wayland plugin, DESKTOP_STARTUP_ID for xcb. Read it before
// making the QApplication (the xcb plugin takes DESKTOP_STARTUP_ID out of the environment).
// Empty when there is none or it is not a short line of printable ASCII.
QByteArray launchActivationToken(const QProcessEnvironment& env, const QString& platformName);
bool isUsableActivationToken(const QByteArray& token);

// Shows `window` in front and gives it the keyboard, with another launch's token where
// there is one: the window system then lets it take the focus from the active application
// (Wayland's xdg-activation, X11's startup notification), and the launcher stops its busy
// feedback. `show` puts the window on screen (show(), showNormal() ...).
template <typename Show> void showAndActivate(QWidget* window, const QByteArray& token, Show show);

namespace detail {
void beforeShow(QWidget* window, const QByteArray& token);
void afterShow(QWidget* window, const QByteArray& token);
} // namespace detail

template <typename Show> void showAndActivate(QWidget* window, const QByteArray& token, Show show) {
    detail::beforeShow(window, token);
    show();
    detail::afterShow(window, token);
}

} // namespace quorvel
