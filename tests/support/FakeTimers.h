#pragma once

#include "common/TimerFactory.h"
#include "settings/SettingsManager.h"
#include "support/TestSupport.h"

#include <QPointer>
#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace quorvel::test {

// Timers that run on a virtual clock: nothing fires until the test calls advance().
class FakeTimers {
public:
    FakeTimers();

    TimerFactory factory() const;

    // Moves the clock forward, firing every due timer in time order (repeating ones as
    // often as they fall due). Timers started or stopped by a firing count at once.
    void advance(std::chrono::milliseconds by);

    // Timers started and not yet stopped (a fired single-shot counts as stopped).
    int activeCount() const;
    std::chrono::milliseconds now() const;
    // When the next live timer falls due, if any.
    std::optional<std::chrono::milliseconds> nextDue() const;

private:
    struct Entry {
        QPointer<QObject> handle;
        std::chrono::milliseconds interval;
        std::chrono::milliseconds due;
        bool repeating = false;
        bool spent = false;
        std::function<void()> onTimeout;
    };
    struct State {
        std::chrono::milliseconds now{0};
        std::vector<Entry> entries;
    };
    std::shared_ptr<State> m_state;
};

// A settings store of its own in a temporary folder, and timers on a virtual clock: what the
// overlay and reminder tests start from.
struct StoreAndTimers {
    TempFolder dir;
    SettingsManager settings{dir.path("Quorvel.conf")};
    FakeTimers timers;
};

} // namespace quorvel::test
