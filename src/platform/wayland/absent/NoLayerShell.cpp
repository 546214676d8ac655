#include "platform/Wayland.h"

// A build without LayerShellQt (Debian 12's is built for Qt 5): overlays on Wayland are
// ordinary full-screen windows.

namespace quorvel::wayland {

bool layerShellBuilt() {
    return false;
}

bool placeOnOverlayLayer(QWidget*, bool) {
    return false;
}

} // namespace quorvel::wayland
