#pragma once

#include <QString>
#include <QtGlobal>
#include <array>
#include <optional>

namespace quorvel {

// How far the shoulder line may narrow or sink before it counts as slouching.
enum class SlouchSensitivity { low, medium, high };

// Stand and water reminder intervals, in seconds.
enum class ReminderInterval : qint64 {
    fifteenMin = 900,
    twentyMin = 1200,
    thirtyMin = 1800,
    fortyFiveMin = 2700,
    sixtyMin = 3600,
};

// How long a break overlay stays up, in seconds; 0 means until dismissed.
enum class AutoDismissTimeout : qint64 {
    fifteenSec = 15,
    thirtySec = 30,
    sixtySec = 60,
    never = 0,
};

// Listing order is the order the settings panel shows.
inline constexpr std::array<SlouchSensitivity, 3> allSlouchSensitivities{
    SlouchSensitivity::low, SlouchSensitivity::medium, SlouchSensitivity::high};
inline constexpr std::array<ReminderInterval, 5> allReminderIntervals{
    ReminderInterval::fifteenMin, ReminderInterval::twentyMin, ReminderInterval::thirtyMin,
    ReminderInterval::fortyFiveMin, ReminderInterval::sixtyMin};
inline constexpr std::array<AutoDismissTimeout, 4> allAutoDismissTimeouts{
    AutoDismissTimeout::fifteenSec, AutoDismissTimeout::thirtySec, AutoDismissTimeout::sixtySec,
    AutoDismissTimeout::never};

QString rawValue(SlouchSensitivity sensitivity); // "Low", "Medium", "High": as stored
QString label(SlouchSensitivity sensitivity);    // as the panel shows it
std::optional<SlouchSensitivity> slouchSensitivityFromRawValue(const QString& raw);
double shoulderWidthThreshold(SlouchSensitivity sensitivity);
double shoulderDropThreshold(SlouchSensitivity sensitivity);

constexpr qint64 rawValue(ReminderInterval interval) {
    return static_cast<qint64>(interval);
}
std::optional<ReminderInterval> reminderIntervalFromRawValue(qint64 raw);
// Any stored interval as the pickers show it: "20 min", or "90 s" for one of no whole minutes.
QString reminderIntervalLabel(qint64 seconds);

constexpr qint64 rawValue(AutoDismissTimeout timeout) {
    return static_cast<qint64>(timeout);
}
std::optional<AutoDismissTimeout> autoDismissTimeoutFromRawValue(qint64 raw);
// Any stored auto-dismiss time as the picker shows it: "15s", "Never" for 0.
QString autoDismissLabel(qint64 seconds);

} // namespace quorvel
