#include "support/FakeTimers.h"

namespace quorvel::test {

FakeTimers::FakeTimers() : m_state(std::make_shared<State>()) {}

TimerFactory FakeTimers::factory() const {
    return [state = m_state](std::chrono::milliseconds interval, bool repeating,
                             std::function<void()> onTimeout) -> TimerHandle {
        auto handle = std::make_unique<QObject>();
        const auto step = std::max(interval, std::chrono::milliseconds(1));
        state->entries.push_back(
            Entry{handle.get(), step, state->now + step, repeating, false, std::move(onTimeout)});
        return handle;
    };
}

void FakeTimers::advance(std::chrono::milliseconds by) {
    const auto target = m_state->now + by;
    for (;;) {
        // The earliest live timer due by the target.
        std::size_t next = m_state->entries.size();
        for (std::size_t i = 0; i < m_state->entries.size(); ++i) {
            const Entry& e = m_state->entries[i];
            if (e.handle && !e.spent && e.due <= target &&
                (next == m_state->entries.size() || e.due < m_state->entries[next].due)) {
                next = i;
            }
        }
        if (next == m_state->entries.size()) {
            break;
        }
        Entry& entry = m_state->entries[next];
        m_state->now = entry.due;
        if (entry.repeating) {
            entry.due += entry.interval;
        } else {
            entry.spent = true;
        }
        const auto onTimeout = entry.onTimeout; // the entry may move while it runs
        onTimeout();
    }
    m_state->now = target;
}

int FakeTimers::activeCount() const {
    int count = 0;
    for (const Entry& e : m_state->entries) {
        count += (e.handle && !e.spent) ? 1 : 0;
    }
    return count;
}

std::optional<std::chrono::milliseconds> FakeTimers::nextDue() const {
    std::optional<std::chrono::milliseconds> due;
    for (const Entry& e : m_state->entries) {
        if (e.handle && !e.spent && (!due || e.due < *due)) {
            due = e.due;
        }
    }
    return due;
}

std::chrono::milliseconds FakeTimers::now() const {
    return m_state->now;
}

} // namespace quorvel::test
