#pragma once

class QWidget;

namespace quorvel {

// Wayland's layer shell (wlr-layer-shell, offered by wlroots compositors such as sway, and by
// KWin): a surface on its overlay layer is drawn above every window, full-screen ones
// included, on the output it names, and is never tiled, moved or made full screen by the
// compositor. It comes through LayerShellQt where the build found it.

// Whether this build can put windows on the layer shell.
bool overlayLayerBuilt();

// Puts `view`, placed on its screen and not yet shown, on that output's overlay layer,
// covering all of it. `takesKeyboard`: it has the keyboard while it is up, so Escape reaches
// it; the others take no keys. False when this build has no layer shell (nothing changed);
// where the compositor has none, the view stays an ordinary window.
bool placeOnOverlayLayer(QWidget* view, bool takesKeyboard);

} // namespace quorvel
