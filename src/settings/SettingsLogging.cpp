#include "settings/SettingsLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcSettings, "quorvel.settings", QtWarningMsg)

} // namespace quorvel
