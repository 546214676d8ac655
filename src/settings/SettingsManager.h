#pragma once

#include "settings/SettingsModels.h"

#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QVariant>
#include <memory>

class QSettings;

namespace quorvel {

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
    // The reminder intervals and the auto-dismiss time of an empty store, in seconds (the
    // reminders also fall back on their interval while the stored one is unusable).
    static constexpr qint64 defaultStandInterval = 1800;
    static constexpr qint64 defaultWaterInterval = 2700;
    static constexpr qint64 defaultAutoDismissTimeout = 30;

    bool postureMonitoringEnabled() const;
    void setPostureMonitoringEnabled(bool value);
    bool standReminderEnabled() const;
    void setStandReminderEnabled(bool value);
    bool waterReminderEnabled() const;
    void setWaterReminderEnabled(bool value);
    qint64 standInterval() const;
    void setStandInterval(qint64 seconds);
    qint64 waterInterval() const;
    void setWaterInterval(qint64 seconds);
    qint64 autoDismissTimeout() const;
    void setAutoDismissTimeout(qint64 seconds);
    SlouchSensitivity sensitivity() const;
    void setSensitivity(SlouchSensitivity value);
    bool launchAtLogin() const;
    void setLaunchAtLogin(bool value);
    double baselineNoseRatio() const;
    void setBaselineNoseRatio(double value);
    double baselineEarRatio() const;
    void setBaselineEarRatio(double value);
    double baselineShoulderWidth() const;
    void setBaselineShoulderWidth(double value);
    double baselineShoulderY() const;
    void setBaselineShoulderY(double value);
    bool isCalibrated() const;
    void setIsCalibrated(bool value);
    QDateTime lastUpdateCheck() const;
    void setLastUpdateCheck(const QDateTime& value);

Q_SIGNALS:
    void objectWillChange();
    void postureMonitoringEnabledChanged(bool value);
    void standReminderEnabledChanged(bool value);
    void waterReminderEnabledChanged(bool value);
    void standIntervalChanged(qint64 value);
    void waterIntervalChanged(qint64 value);
    void autoDismissTimeoutChanged(qint64 value);
    void sensitivityChanged(quorvel::SlouchSensitivity value);
    void launchAtLoginChanged(bool value);
    void baselineNoseRatioChanged(double value);
    void baselineEarRatioChanged(double value);
    void baselineShoulderWidthChanged(double value);
    void baselineShoulderYChanged(double value);
    void isCalibratedChanged(bool value);
    void lastUpdateCheckChanged(QDateTime value);

private:
    explicit SettingsManager(std::unique_ptr<QSettings> defaults);
    void load();

    template <typename T> T get(const T& field) const;
    template <typename T>
    void assign(T& field, T value, void (SettingsManager::*changed)(T), const QString& key,
                const QVariant& stored);

    struct Values {
        bool postureMonitoringEnabled = false;
        bool standReminderEnabled = false;
        bool waterReminderEnabled = false;
        qint64 standInterval = defaultStandInterval;
        qint64 waterInterval = defaultWaterInterval;
        qint64 autoDismissTimeout = defaultAutoDismissTimeout;
        SlouchSensitivity sensitivity = SlouchSensitivity::medium;
        bool launchAtLogin = false;
        double baselineNoseRatio = 0.0;
        double baselineEarRatio = 0.0;
        double baselineShoulderWidth = 0.0;
        double baselineShoulderY = 0.0;
        bool isCalibrated = false;
        QDateTime lastUpdateCheck;
    };

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
