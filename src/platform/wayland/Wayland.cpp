#include "platform/Wayland.h"

#include <QGuiApplication>

namespace quorvel::wayland {

bool isSession() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace quorvel::wayland
