#include "stats/StatsLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcStats, "quorvel.stats", QtWarningMsg)

} // namespace quorvel
