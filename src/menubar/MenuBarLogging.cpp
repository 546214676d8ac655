#include "menubar/MenuBarLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcMenuBar, "quorvel.menubar", QtWarningMsg)

} // namespace quorvel
