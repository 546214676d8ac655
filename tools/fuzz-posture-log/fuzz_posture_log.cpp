// Feeds arbitrary bytes to the log reader. Besides never crashing, hanging or leaking, what it
// accepts must survive being written and read again: the same events, with startedAt cut to
// whole seconds, and the same bytes when written a second time.
#include "stats/PostureEvent.h"

#include <cstdint>
#include <cstdlib>

using namespace quorvel;

namespace {

PostureEvent wholeSeconds(PostureEvent event) {
    event.startedAt = event.startedAt.addMSecs(-event.startedAt.time().msec());
    return event;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto events = postureLogFormat::decode(bytes);
    if (!events) {
        return 0;
    }
    const QByteArray written = postureLogFormat::encode(*events);
    const auto reread = postureLogFormat::decode(written);
    if (!reread || reread->size() != events->size()) {
        std::abort();
    }
    for (qsizetype i = 0; i < events->size(); ++i) {
        if ((*reread)[i] != wholeSeconds((*events)[i])) {
            std::abort();
        }
    }
    if (postureLogFormat::encode(*reread) != written) {
        std::abort();
    }
    return 0;
}
