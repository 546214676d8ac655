#pragma once

class QWidget;

namespace quorvel {

// On X11, marks a top-level window as a notification, kept out of taskbars and pagers and
// shown on every virtual desktop (for window managers and compositors that look). Call
// before the window is first shown. Does nothing elsewhere.
void markAsOverlayWindow(QWidget* window);

} // namespace quorvel
