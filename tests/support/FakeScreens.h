#pragma once

#include "overlay/ScreenProvider.h"

#include <memory>

namespace quorvel::test {

// Stand-in screens that a test plugs and unplugs.
class FakeScreens final : public ScreenProvider {
    Q_OBJECT

public:
    QList<OverlayScreen> list;

    QList<OverlayScreen> screens() const override { return list; }
    void add(quintptr id, QRect geometry) {
        list.append(OverlayScreen{id, geometry, nullptr});
        Q_EMIT screenAdded(list.last());
    }
    void remove(quintptr id) {
        list.removeIf([id](const OverlayScreen& s) { return s.id == id; });
        Q_EMIT screenRemoved(id);
    }

    // Two screens side by side.
    static std::unique_ptr<FakeScreens> two() {
        auto screens = std::make_unique<FakeScreens>();
        screens->list = {OverlayScreen{1, QRect(0, 0, 1280, 800), nullptr},
                         OverlayScreen{2, QRect(1280, 0, 1024, 768), nullptr}};
        return screens;
    }
};

} // namespace quorvel::test
