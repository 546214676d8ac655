#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QScreen>

namespace quorvel {

// One display an overlay covers.
struct OverlayScreen {
    quintptr id = 0;          // stays the same from screenAdded to screenRemoved
    QRect geometry;           // the full area, in virtual-desktop coordinates
    QPointer<QScreen> screen; // the platform's screen; null for a stand-in
};

// The displays to cover, in the platform's order, and news of displays coming and going.
class ScreenProvider : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QList<OverlayScreen> screens() const = 0;

Q_SIGNALS:
    void screenAdded(const quorvel::OverlayScreen& screen);
    void screenRemoved(quintptr id);
    void screenGeometryChanged(quintptr id, const QRect& geometry);
};

// QGuiApplication's screens.
class GuiScreenProvider final : public ScreenProvider {
    Q_OBJECT

public:
    explicit GuiScreenProvider(QObject* parent = nullptr);

    QList<OverlayScreen> screens() const override;

    static OverlayScreen describe(QScreen* screen);

private:
    void watch(QScreen* screen);
};

} // namespace quorvel
