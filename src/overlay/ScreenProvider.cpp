#include "overlay/ScreenProvider.h"

#include <QGuiApplication>

namespace quorvel {

GuiScreenProvider::GuiScreenProvider(QObject* parent) : ScreenProvider(parent) {
    const auto all = QGuiApplication::screens();
    for (QScreen* screen : all) {
        watch(screen);
    }
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
        watch(screen);
        Q_EMIT screenAdded(describe(screen));
    });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this,
            [this](QScreen* screen) { Q_EMIT screenRemoved(reinterpret_cast<quintptr>(screen)); });
}

QList<OverlayScreen> GuiScreenProvider::screens() const {
    QList<OverlayScreen> result;
    const auto all = QGuiApplication::screens();
    for (QScreen* screen : all) {
        result.append(describe(screen));
    }
    return result;
}

OverlayScreen GuiScreenProvider::describe(QScreen* screen) {
    return OverlayScreen{reinterpret_cast<quintptr>(screen), screen->geometry(), screen};
}

void GuiScreenProvider::watch(QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, [this, screen](const QRect& geometry) {
        Q_EMIT screenGeometryChanged(reinterpret_cast<quintptr>(screen), geometry);
    });
}

} // namespace quorvel
