// Feeds arbitrary bytes to the update reply decoder and to compareVersions, and checks the
// properties the checker relies on. Any violation aborts, which libFuzzer reports as a crash.

#include "updates/UpdateModels.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace quorvel;

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // The whole input as a reply body.
    if (const std::optional<AppVersionResponse> reply = AppVersionResponse::decode(bytes)) {
        require(AppVersionResponse::decode(reply->encode()) == reply, "encode/decode round trip");
        if (const std::optional<UpdateInfo> info = deriveUpdateInfo(*reply, "1.2.0")) {
            require(info->isUpdateAvailable, "published updates are available");
            require(compareVersions(info->newVersion, "1.2.0"), "published updates are newer");
            const QString scheme = info->downloadURL.scheme();
            require((scheme == "https" || scheme == "http") && !info->downloadURL.host().isEmpty(),
                    "download links are web URLs with a host");
        }
    }

    // The input as two versions, split at the first newline.
    const qsizetype newline = bytes.indexOf('\n');
    const QString remote = QString::fromUtf8(newline < 0 ? bytes : bytes.left(newline));
    const QString local = newline < 0 ? QString() : QString::fromUtf8(bytes.mid(newline + 1));
    const bool newer = compareVersions(remote, local);
    const bool older = compareVersions(local, remote);
    require(!(newer && older), "compareVersions is antisymmetric");
    require(!compareVersions(remote, remote), "a version is not newer than itself");
    require(!compareVersions(remote + ".0", remote) && !compareVersions(remote, remote + ".0"),
            "a trailing .0 changes nothing");
    return 0;
}
