#include "presence/PresenceLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcPresence, "quorvel.presence", QtWarningMsg)

} // namespace quorvel
