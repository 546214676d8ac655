#pragma once

#include <QDateTime>
#include <functional>

namespace quorvel {

// Where components read "now". Injected so tests can drive time without waiting.
using Clock = std::function<QDateTime()>;

inline Clock systemClock() {
    return [] {
        return QDateTime::currentDateTimeUtc();
    };
}

} // namespace quorvel
