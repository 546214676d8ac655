#pragma once

#include <QLoggingCategory>

namespace quorvel {

// The camera's log ("quorvel.camera"): which device opened with which format, and when and why
// capture stops and resumes. Warnings only, unless QT_LOGGING_RULES asks for more.
Q_DECLARE_LOGGING_CATEGORY(lcCamera)

} // namespace quorvel
