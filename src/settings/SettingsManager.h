#pragma once

#include "settings/SettingsModels.h"

#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QVariant>
#include <memory>

class QSettings;

namespace quorvel {

// Every setting, declared once: its type, its name (which is also its key in the settings
// file), its setter and its value in an empty store. The getter, the setter, the change
// signal `<name>Changed(value)`, reading the file and writing it all follow from the row, so
// a new setting is one row here (and a row in the panel if the user sets it). How each type
// is written and read back is in SettingsManager.cpp (`StoredForm`); a type that is new there
// needs its form too. Keys and defaults are what stored configurations rely on: never rename
// or change one. Types are spelled in full (quorvel::...), as the change signals need.
//
// The reminder intervals and the auto-dismiss time are in seconds; the pickers offer
// `allReminderIntervals` and `allAutoDismissTimeouts`, and a value stored by hand that is
// none of those is kept and shown as it is. `lastUpdateCheck` is "never"
// (SettingsManager::distantPast()) in an empty store.
#define QUORVEL_SETTINGS(X)                                                                        \
    X(bool, postureMonitoringEnabled, setPostureMonitoringEnabled, false)                          \
    X(bool, standReminderEnabled, setStandReminderEnabled, false)                                  \
    X(bool, waterReminderEnabled, setWaterReminderEnabled, false)                                  \
    X(qint64, standInterval, setStandInterval, rawValue(ReminderInterval::thirtyMin))              \
    X(qint64, waterInterval, setWaterInterval, rawValue(ReminderInterval::fortyFiveMin))           \
    X(qint64, autoDismissTimeout, setAutoDismissTimeout, rawValue(AutoDismissTimeout::thirtySec))  \
    X(quorvel::SlouchSensitivity, sensitivity, setSensitivity, SlouchSensitivity::medium)          \
    X(bool, launchAtLogin, setLaunchAtLogin, false)                                                \
    X(double, baselineNoseRatio, setBaselineNoseRatio, 0.0)                                        \
    X(double, baselineEarRatio, setBaselineEarRatio, 0.0)                                          \
    X(double, baselineShoulderWidth, setBaselineShoulderWidth, 0.0)                                \
    X(double, baselineShoulderY, setBaselineShoulderY, 0.0)                                        \
    X(bool, isCalibrated, setIsCalibrated, false)                                                  \
    X(QDateTime, lastUpdateCheck, setLastUpdateCheck, distantPast())

// Everything the user chooses and everything Quorvel remembers between launches.
//
// Each key is read once, at construction; each assignment notifies, then writes the key
// through at once, also when the value is unchanged. Reads and writes are safe from any
// thread: values sit under a lock, and signals emitted off the main thread reach
// main-thread receivers queued.
//
// An assignment on the store's own thread first emits objectWillChange(), then the
// property's own change signal with the new value (the property still reads the old value at
// that moment), then stores and writes the value. An assignment from another thread stores
// and writes first and then emits, so that receivers on the store's thread, reached queued,
// always read the value they were told about.
class SettingsManager : public QObject {
    Q_OBJECT

public:
    // The one store of the user's preferences ($XDG_CONFIG_HOME/Quorvel/Quorvel.conf).
    static SettingsManager& shared();

    // A store kept in a file of its own, for tests and the diagnostic tool.
    explicit SettingsManager(const QString& filePath, QObject* parent = nullptr);
    ~SettingsManager() override;

    SettingsManager(const SettingsManager&) = delete;
    SettingsManager& operator=(const SettingsManager&) = delete;

    // The instant that stands for "never": the first day of year 1, UTC.
    static QDateTime distantPast();

    // One field per setting, each starting at its value in an empty store.
    struct Values {
#define QUORVEL_SETTING_FIELD(Type, name, Setter, initial) Type name = initial;
        QUORVEL_SETTINGS(QUORVEL_SETTING_FIELD)
#undef QUORVEL_SETTING_FIELD
    };
    // The values of an empty store (the reminders also fall back on their interval's while
    // the stored one is unusable).
    static const Values& defaults();

#define QUORVEL_SETTING_ACCESSORS(Type, name, Setter, initial)                                     \
    Type name() const;                                                                             \
    void Setter(Type value);
    QUORVEL_SETTINGS(QUORVEL_SETTING_ACCESSORS)
#undef QUORVEL_SETTING_ACCESSORS

Q_SIGNALS:
    void objectWillChange();
#define QUORVEL_SETTING_SIGNAL(Type, name, Setter, initial) void name##Changed(Type value);
    QUORVEL_SETTINGS(QUORVEL_SETTING_SIGNAL)
#undef QUORVEL_SETTING_SIGNAL

private:
    explicit SettingsManager(std::unique_ptr<QSettings> defaults);
    void load();

    template <typename T> T get(const T& field) const;
    template <typename T>
    void assign(T& field, T value, void (SettingsManager::*changed)(T), const QString& key);

    mutable QMutex m_mutex;
    std::unique_ptr<QSettings> m_defaults;
    Values m_values;
};

// How stored text is read back. Exposed for tests.
namespace stored {
std::optional<bool> asBoolean(const QVariant& value);
std::optional<qint64> asInteger(const QVariant& value);
std::optional<double> asFloat(const QVariant& value);
} // namespace stored

} // namespace quorvel
