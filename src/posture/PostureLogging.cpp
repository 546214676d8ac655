#include "posture/PostureLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcPosture, "quorvel.posture", QtWarningMsg)

} // namespace quorvel
