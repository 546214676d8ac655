#pragma once

#include <QByteArray>
#include <QRect>
#include <optional>

class QWidget;

// What Quorvel asks of an X server, in one place. Built from platform/x11/ where Quorvel is
// built with xcb; everywhere else (and at run time on any other Qt platform: Wayland,
// offscreen) every answer is "not here": nothing, false, an invalid rectangle, no effect.
namespace quorvel::x11 {

// Quorvel talks to an X server (Qt's xcb platform).
bool connected();
// An X11 session proper: an X server that sees all the desktop's input (not Xwayland).
bool isSession();

// Milliseconds since the last keyboard or pointer input, from the screen-saver extension.
std::optional<qint64> idleMs();
// Whether another client holds the keyboard, as every X11 screen locker does while it is up:
// found by trying to take it, and giving it back at once when that works.
std::optional<bool> keyboardGrabbedByAnother();

// An XEmbed system tray owns the screen's tray selection.
bool xembedTrayPresent();
// `message` (of a native event filter) is a tray's announcement that it has started.
bool isTrayAnnouncement(const QByteArray& eventType, const void* message);
// Where `window`, a top-level of this process, is on screen, asked from the X server (the
// window's own idea of its position dates from before a tray took it in).
QRect placeOnScreen(QWidget* window);

// Startup notification: the launch's id on `window` before it is shown (window managers read
// the launch and its time from it), then, once shown, a request to activate it with the
// launch's time, and the launch's end (the launcher's busy feedback stops).
void setStartupId(QWidget* window, const QByteArray& startupId);
void activateForLaunch(QWidget* window, const QByteArray& startupId);

// Marks a top-level window as a notification, kept out of taskbars and pagers and shown on
// every virtual desktop. Call before the window is first shown.
void markAsNotification(QWidget* window);
// The window `message` says was unmapped or destroyed; nothing for any other event.
std::optional<quintptr> unmappedOrDestroyed(const QByteArray& eventType, const void* message);

} // namespace quorvel::x11
