#pragma once

class QWidget;

namespace quorvel {

// On X11, asks the window manager to keep a top-level window out of taskbars and pagers
// and to show it on every virtual desktop. Call before the window is first shown. Does
// nothing elsewhere.
void markAsOverlayWindow(QWidget* window);

} // namespace quorvel
