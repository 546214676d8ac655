#include "settings/SettingsModels.h"

#include <QCoreApplication>
#include <QLocale>

namespace quorvel {

namespace {

// Each case's raw value, which is also its English text.
const char* text(SlouchSensitivity sensitivity) {
    switch (sensitivity) {
    case SlouchSensitivity::low:
        return QT_TRANSLATE_NOOP("SlouchSensitivity", "Low");
    case SlouchSensitivity::medium:
        return QT_TRANSLATE_NOOP("SlouchSensitivity", "Medium");
    case SlouchSensitivity::high:
        return QT_TRANSLATE_NOOP("SlouchSensitivity", "High");
    }
    Q_UNREACHABLE();
    return "";
}

} // namespace

QString rawValue(SlouchSensitivity sensitivity) {
    return QString::fromLatin1(text(sensitivity));
}

QString label(SlouchSensitivity sensitivity) {
    return QCoreApplication::translate("SlouchSensitivity", text(sensitivity));
}

std::optional<SlouchSensitivity> slouchSensitivityFromRawValue(const QString& raw) {
    for (auto s : allSlouchSensitivities) {
        if (rawValue(s) == raw) {
            return s;
        }
    }
    return std::nullopt;
}

double shoulderWidthThreshold(SlouchSensitivity sensitivity) {
    switch (sensitivity) {
    case SlouchSensitivity::low:
        return 0.85;
    case SlouchSensitivity::medium:
        return 0.90;
    case SlouchSensitivity::high:
        return 0.93;
    }
    Q_UNREACHABLE();
    return 0.0;
}

double shoulderDropThreshold(SlouchSensitivity sensitivity) {
    switch (sensitivity) {
    case SlouchSensitivity::low:
        return 0.90;
    case SlouchSensitivity::medium:
        return 0.93;
    case SlouchSensitivity::high:
        return 0.95;
    }
    Q_UNREACHABLE();
    return 0.0;
}

std::optional<ReminderInterval> reminderIntervalFromRawValue(qint64 raw) {
    for (auto i : allReminderIntervals) {
        if (rawValue(i) == raw) {
            return i;
        }
    }
    return std::nullopt;
}

QString reminderIntervalLabel(qint64 seconds) {
    const QLocale locale;
    return seconds % 60 == 0 ? QCoreApplication::translate("ReminderInterval", "%1 min")
                                   .arg(locale.toString(seconds / 60))
                             : QCoreApplication::translate("ReminderInterval", "%1 s")
                                   .arg(locale.toString(seconds));
}

std::optional<AutoDismissTimeout> autoDismissTimeoutFromRawValue(qint64 raw) {
    for (auto t : allAutoDismissTimeouts) {
        if (rawValue(t) == raw) {
            return t;
        }
    }
    return std::nullopt;
}

QString autoDismissLabel(qint64 seconds) {
    if (seconds == rawValue(AutoDismissTimeout::never)) {
        return QCoreApplication::translate("AutoDismissTimeout", "Never");
    }
    return QCoreApplication::translate("AutoDismissTimeout", "%1s")
        .arg(QLocale().toString(seconds));
}

} // namespace quorvel
