#include "platform/Wayland.h"

#include <LayerShellQt/Window>
#include <QWidget>
#include <QWindow>

namespace quorvel::wayland {

bool layerShellBuilt() {
    return true;
}

bool placeOnOverlayLayer(QWidget* view, bool takesKeyboard) {
    view->winId(); // the platform window, not yet mapped: its shell is chosen before the map
    QWindow* window = view->windowHandle();
    if (window == nullptr) {
        return false;
    }
    using Layer = LayerShellQt::Window;
    Layer* layer = Layer::get(window);
    layer->setScope(QStringLiteral("quorvel-overlay"));
    layer->setLayer(Layer::LayerOverlay);
    layer->setAnchors(Layer::Anchors(Layer::AnchorTop) | Layer::AnchorBottom | Layer::AnchorLeft |
                      Layer::AnchorRight);
    // Over the desktop's bars too, not beside them.
    layer->setExclusiveZone(-1);
    layer->setKeyboardInteractivity(takesKeyboard ? Layer::KeyboardInteractivityExclusive
                                                  : Layer::KeyboardInteractivityNone);
    layer->setScreenConfiguration(Layer::ScreenFromQWindow);
    // An output that goes away closes its surface, which ends the overlay as any close does.
    layer->setCloseOnDismissed(true);
    return true;
}

} // namespace quorvel::wayland
