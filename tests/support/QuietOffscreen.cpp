#include "support/QuietOffscreen.h"

#include <QString>
#include <QtGlobal>

namespace quorvel::test {

namespace {
QtMessageHandler previousHandler = nullptr;

void filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("This plugin does not support"))) {
        return;
    }
    if (previousHandler != nullptr) {
        previousHandler(type, context, message);
    }
}
} // namespace

void silenceOffscreenWindowWarnings() {
    if (previousHandler == nullptr) {
        previousHandler = qInstallMessageHandler(filter);
    }
}

} // namespace quorvel::test
