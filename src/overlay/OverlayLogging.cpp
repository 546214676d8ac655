#include "overlay/OverlayLogging.h"

namespace quorvel {

Q_LOGGING_CATEGORY(lcOverlay, "quorvel.overlay", QtWarningMsg)

} // namespace quorvel
