#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace quorvel {

// A running timer. Destroying the handle stops it for good: a timeout that is already
// due but not yet delivered is dropped too.
using TimerHandle = std::unique_ptr<QObject>;

// Starts a timer on the calling thread's event loop that calls `onTimeout` once after
// `interval`, or every `interval` when `repeating`. Components that wait take one of these
// so that tests can move time by hand.
using TimerFactory = std::function<TimerHandle(std::chrono::milliseconds interval, bool repeating,
                                               std::function<void()> onTimeout)>;

// QTimers on the current thread's event loop: precise, except repeating ones of a second or
// more, which are coarse (up to 5 % late). Intervals are clamped to what a QTimer can hold
// (0 ms to about 24.8 days).
TimerFactory eventLoopTimers();

// Timers from `timers`, except that all repeating one-second timers made by the returned
// factory (and its copies) ride on one tick: however many run, the event loop wakes once a
// second for them all. A timer that joins a running tick first fires at its next second.
TimerFactory sharedSecondTicks(TimerFactory timers);

} // namespace quorvel
