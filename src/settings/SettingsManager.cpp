#include "settings/SettingsManager.h"

#include "common/Clock.h"
#include "settings/SettingsLogging.h"

#include <QMutexLocker>
#include <QRegularExpression>
#include <QSettings>
#include <QThread>
#include <cmath>

namespace quorvel {

namespace Keys {
const QString postureMonitoringEnabled = QStringLiteral("postureMonitoringEnabled");
const QString standReminderEnabled = QStringLiteral("standReminderEnabled");
const QString waterReminderEnabled = QStringLiteral("waterReminderEnabled");
const QString standInterval = QStringLiteral("standInterval");
const QString waterInterval = QStringLiteral("waterInterval");
const QString autoDismissTimeout = QStringLiteral("autoDismissTimeout");
const QString sensitivity = QStringLiteral("sensitivity");
const QString launchAtLogin = QStringLiteral("launchAtLogin");
const QString baselineNoseRatio = QStringLiteral("baselineNoseRatio");
const QString baselineEarRatio = QStringLiteral("baselineEarRatio");
const QString baselineShoulderWidth = QStringLiteral("baselineShoulderWidth");
const QString baselineShoulderY = QStringLiteral("baselineShoulderY");
const QString isCalibrated = QStringLiteral("isCalibrated");
const QString lastUpdateCheck = QStringLiteral("lastUpdateCheck");
} // namespace Keys

// The file holds text; values this process wrote earlier may still be cached by QSettings
// in their original type. Both forms are accepted, nothing else.
namespace stored {

std::optional<bool> asBoolean(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("true")) {
            return true;
        }
        if (text == QLatin1String("false")) {
            return false;
        }
    }
    return std::nullopt;
}

std::optional<qint64> asInteger(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return value.toLongLong();
    case QMetaType::QString: {
        static const QRegularExpression wholeNumber(QStringLiteral("^[+-]?[0-9]+$"));
        const QString text = value.toString();
        if (!wholeNumber.match(text).hasMatch()) {
            return std::nullopt;
        }
        bool ok = false;
        const qint64 n = text.toLongLong(&ok);
        return ok ? std::optional<qint64>(n) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<double> asFloat(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return value.toDouble();
    case QMetaType::QString: {
        static const QRegularExpression decimal(
            QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
        const QString text = value.toString();
        if (!decimal.match(text).hasMatch()) {
            return std::nullopt;
        }
        bool ok = false;
        const double d = text.toDouble(&ok);
        return ok && std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

} // namespace stored

namespace {

// What `key` holds, read by `parse`: `fallback` when nothing is stored or when what is stored
// is not a value of the key's type.
template <typename T, typename Parse>
T readStored(const QSettings& settings, const QString& key, Parse parse, T fallback) {
    const QVariant value = settings.value(key);
    if (!value.isValid()) {
        return fallback;
    }
    if (const std::optional<T> parsed = parse(value)) {
        return *parsed;
    }
    qCWarning(lcSettings) << "the stored" << key << "is not a value of its type; using the default";
    return fallback;
}

std::optional<SlouchSensitivity> storedSensitivity(const QVariant& value) {
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return slouchSensitivityFromRawValue(value.toString());
}

} // namespace

SettingsManager& SettingsManager::shared() {
    // Lives until the process ends.
    static SettingsManager* instance = new SettingsManager(
        std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                    QStringLiteral("Quorvel"), QStringLiteral("Quorvel")));
    return *instance;
}

SettingsManager::SettingsManager(const QString& filePath, QObject* parent)
    : QObject(parent), m_defaults(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {
    load();
}

SettingsManager::SettingsManager(std::unique_ptr<QSettings> defaults)
    : m_defaults(std::move(defaults)) {
    load();
}

SettingsManager::~SettingsManager() = default;

QDateTime SettingsManager::distantPast() {
    return utcDateTime(QDate(1, 1, 1), QTime(0, 0));
}

void SettingsManager::load() {
    const QSettings& d = *m_defaults;
    Values& v = m_values;
    // Each property reads "whatever is stored, if it has the right type".
    const auto boolean = [&](const QString& key) {
        return readStored(d, key, stored::asBoolean, false);
    };
    const auto decimal = [&](const QString& key) {
        return readStored(d, key, stored::asFloat, 0.0);
    };
    v.postureMonitoringEnabled = boolean(Keys::postureMonitoringEnabled);
    v.standReminderEnabled = boolean(Keys::standReminderEnabled);
    v.waterReminderEnabled = boolean(Keys::waterReminderEnabled);
    v.standInterval = readStored(d, Keys::standInterval, stored::asInteger, defaultStandInterval);
    v.waterInterval = readStored(d, Keys::waterInterval, stored::asInteger, defaultWaterInterval);
    v.autoDismissTimeout =
        readStored(d, Keys::autoDismissTimeout, stored::asInteger, defaultAutoDismissTimeout);
    v.sensitivity = readStored(d, Keys::sensitivity, storedSensitivity, SlouchSensitivity::medium);
    v.launchAtLogin = boolean(Keys::launchAtLogin);
    v.baselineNoseRatio = decimal(Keys::baselineNoseRatio);
    v.baselineEarRatio = decimal(Keys::baselineEarRatio);
    v.baselineShoulderWidth = decimal(Keys::baselineShoulderWidth);
    v.baselineShoulderY = decimal(Keys::baselineShoulderY);
    v.isCalibrated = boolean(Keys::isCalibrated);

    const double lastCheck = decimal(Keys::lastUpdateCheck);
    const double maxSeconds = 253402300799.0; // 9999-12-31T23:59:59Z
    v.lastUpdateCheck =
        lastCheck > 0.0
            ? utcFromMSecsSinceEpoch(std::llround(std::min(lastCheck, maxSeconds) * 1000.0))
            : distantPast();
}

template <typename T> T SettingsManager::get(const T& field) const {
    QMutexLocker lock(&m_mutex);
    return field;
}

template <typename T>
void SettingsManager::assign(T& field, T value, void (SettingsManager::*changed)(T),
                             const QString& key, const QVariant& stored) {
    const auto store = [&] {
        QMutexLocker lock(&m_mutex);
        field = value;
        m_defaults->setValue(key, stored);
        m_defaults->sync();
    };
    if (QThread::currentThread() == thread()) {
        Q_EMIT objectWillChange();
        Q_EMIT(this->*changed)(value);
        store();
        return;
    }
    // From another thread the signals reach the store's own thread queued, and may be
    // handled there before this thread goes on: store first, so that what they announce
    // is already there to read.
    store();
    Q_EMIT objectWillChange();
    Q_EMIT(this->*changed)(value);
}

#define QUORVEL_SETTING(Type, name, Setter, toStored)                                              \
    Type SettingsManager::name() const {                                                           \
        return get(m_values.name);                                                                 \
    }                                                                                              \
    void SettingsManager::Setter(Type value) {                                                     \
        assign<Type>(m_values.name, value, &SettingsManager::name##Changed, Keys::name, toStored); \
    }

QUORVEL_SETTING(bool, postureMonitoringEnabled, setPostureMonitoringEnabled, QVariant(value))
QUORVEL_SETTING(bool, standReminderEnabled, setStandReminderEnabled, QVariant(value))
QUORVEL_SETTING(bool, waterReminderEnabled, setWaterReminderEnabled, QVariant(value))
QUORVEL_SETTING(qint64, standInterval, setStandInterval, QVariant(value))
QUORVEL_SETTING(qint64, waterInterval, setWaterInterval, QVariant(value))
QUORVEL_SETTING(qint64, autoDismissTimeout, setAutoDismissTimeout, QVariant(value))
QUORVEL_SETTING(SlouchSensitivity, sensitivity, setSensitivity, QVariant(rawValue(value)))
QUORVEL_SETTING(bool, launchAtLogin, setLaunchAtLogin, QVariant(value))
QUORVEL_SETTING(double, baselineNoseRatio, setBaselineNoseRatio, QVariant(value))
QUORVEL_SETTING(double, baselineEarRatio, setBaselineEarRatio, QVariant(value))
QUORVEL_SETTING(double, baselineShoulderWidth, setBaselineShoulderWidth, QVariant(value))
QUORVEL_SETTING(double, baselineShoulderY, setBaselineShoulderY, QVariant(value))
QUORVEL_SETTING(bool, isCalibrated, setIsCalibrated, QVariant(value))

#undef QUORVEL_SETTING

QDateTime SettingsManager::lastUpdateCheck() const {
    return get(m_values.lastUpdateCheck);
}

void SettingsManager::setLastUpdateCheck(const QDateTime& value) {
    const double seconds = static_cast<double>(value.toMSecsSinceEpoch()) / 1000.0;
    assign<QDateTime>(m_values.lastUpdateCheck, value, &SettingsManager::lastUpdateCheckChanged,
                      Keys::lastUpdateCheck, QVariant(seconds));
}

} // namespace quorvel
