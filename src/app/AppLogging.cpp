#include "app/AppLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcApp, "quorvel.app", QtWarningMsg)

} // namespace quorvel
