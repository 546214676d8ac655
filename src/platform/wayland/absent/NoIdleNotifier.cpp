#include "platform/Wayland.h"

// A build without Qt's Wayland client extensions or the idle protocols' descriptions: the
// compositor's idle time is never known here.

namespace quorvel::wayland {

struct IdleNotifier::Protocols {};

IdleNotifier::IdleNotifier(QObject* parent) : QObject(parent) {}

IdleNotifier::~IdleNotifier() = default;

bool IdleNotifier::isActive() const {
    return false;
}

const char* IdleNotifier::protocol() const {
    return nullptr;
}

std::optional<qint64> IdleNotifier::idleMs() const {
    return std::nullopt;
}

} // namespace quorvel::wayland
