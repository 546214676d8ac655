#include "updates/UpdatesLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcUpdates, "quorvel.updates", QtWarningMsg)

} // namespace quorvel
