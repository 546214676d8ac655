#include "settings/SettingsManager.h"

#include "common/Clock.h"
#include "settings/SettingsLogging.h"

#include <QMutexLocker>
#include <QRegularExpression>
#include <QSettings>
#include <QThread>
#include <cmath>

namespace quorvel {

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

// How a setting's type is written to the file and read back: `read` gives nothing for what
// is not a value of the type.
template <typename T> struct StoredForm;

template <> struct StoredForm<bool> {
    static QVariant write(bool value) { return value; }
    static std::optional<bool> read(const QVariant& value) { return stored::asBoolean(value); }
};

template <> struct StoredForm<qint64> {
    static QVariant write(qint64 value) { return value; }
    static std::optional<qint64> read(const QVariant& value) { return stored::asInteger(value); }
};

template <> struct StoredForm<double> {
    static QVariant write(double value) { return value; }
    static std::optional<double> read(const QVariant& value) { return stored::asFloat(value); }
};

// By its raw value, "Low", "Medium" or "High".
template <> struct StoredForm<SlouchSensitivity> {
    static QVariant write(SlouchSensitivity value) { return rawValue(value); }
    static std::optional<SlouchSensitivity> read(const QVariant& value) {
        if (value.typeId() != QMetaType::QString) {
            return std::nullopt;
        }
        return slouchSensitivityFromRawValue(value.toString());
    }
};

// As seconds since 1970 (UTC), with a fraction; zero or less is "never".
template <> struct StoredForm<QDateTime> {
    static QVariant write(const QDateTime& value) {
        return static_cast<double>(value.toMSecsSinceEpoch()) / 1000.0;
    }
    static std::optional<QDateTime> read(const QVariant& value) {
        const std::optional<double> seconds = stored::asFloat(value);
        if (!seconds) {
            return std::nullopt;
        }
        const double maxSeconds = 253402300799.0; // 9999-12-31T23:59:59Z
        return *seconds > 0.0
                   ? utcFromMSecsSinceEpoch(std::llround(std::min(*seconds, maxSeconds) * 1000.0))
                   : SettingsManager::distantPast();
    }
};

// What `key` holds: `fallback` when nothing is stored or when what is stored is not a value
// of the key's type.
template <typename T> T readStored(const QSettings& settings, const QString& key, T fallback) {
    const QVariant value = settings.value(key);
    if (!value.isValid()) {
        return fallback;
    }
    if (const std::optional<T> parsed = StoredForm<T>::read(value)) {
        return *parsed;
    }
    qCWarning(lcSettings) << "the stored" << key << "is not a value of its type; using the default";
    return fallback;
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

const SettingsManager::Values& SettingsManager::defaults() {
    static const Values values;
    return values;
}

void SettingsManager::load() {
    const Values& initial = defaults();
#define QUORVEL_SETTING_LOAD(Type, name, Setter, unused)                                           \
    m_values.name = readStored<Type>(*m_defaults, QStringLiteral(#name), initial.name);
    QUORVEL_SETTINGS(QUORVEL_SETTING_LOAD)
#undef QUORVEL_SETTING_LOAD
}

template <typename T> T SettingsManager::get(const T& field) const {
    QMutexLocker lock(&m_mutex);
    return field;
}

template <typename T>
void SettingsManager::assign(T& field, T value, void (SettingsManager::*changed)(T),
                             const QString& key) {
    const auto store = [&] {
        QMutexLocker lock(&m_mutex);
        field = value;
        m_defaults->setValue(key, StoredForm<T>::write(value));
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

#define QUORVEL_SETTING_ACCESSORS(Type, name, Setter, unused)                                      \
    Type SettingsManager::name() const {                                                           \
        return get(m_values.name);                                                                 \
    }                                                                                              \
    void SettingsManager::Setter(Type value) {                                                     \
        assign<Type>(m_values.name, value, &SettingsManager::name##Changed,                        \
                     QStringLiteral(#name));                                                       \
    }
QUORVEL_SETTINGS(QUORVEL_SETTING_ACCESSORS)
#undef QUORVEL_SETTING_ACCESSORS

} // namespace quorvel
