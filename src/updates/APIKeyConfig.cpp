#include "updates/APIKeyConfig.h"

#include <QByteArray>
#include <QStringDecoder>
#include <algorithm>

#if __has_include("UpdateServiceConfig.h")
#include "UpdateServiceConfig.h"
#define QUORVEL_HAS_UPDATE_SERVICE_CONFIG 1
#endif

namespace quorvel {

QString APIKeyConfig::baseURL() {
#ifdef QUORVEL_HAS_UPDATE_SERVICE_CONFIG
    return QString::fromUtf8(generated::updateBaseURL);
#else
    return {};
#endif
}

QString APIKeyConfig::appIdentifier() {
    return QStringLiteral("com.quorvel.app");
}

QString APIKeyConfig::apiKey() {
#ifdef QUORVEL_HAS_UPDATE_SERVICE_CONFIG
    return assembleKey(generated::updateKeyObfuscated, generated::updateKeySalt);
#else
    return {};
#endif
}

QString APIKeyConfig::assembleKey(std::span<const std::uint8_t> obfuscated,
                                  std::span<const std::uint8_t> salt) {
    const std::size_t length = std::min(obfuscated.size(), salt.size());
    // Read through volatile pointers so the optimiser cannot fold the two constant lists
    // into the plain key at compile time.
    const volatile std::uint8_t* a = obfuscated.data();
    const volatile std::uint8_t* b = salt.data();
    QByteArray bytes(static_cast<qsizetype>(length), Qt::Uninitialized);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[static_cast<qsizetype>(i)] = static_cast<char>(a[i] ^ b[i]);
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString key = decoder.decode(bytes);
    bytes.fill('\0');
    if (decoder.hasError()) {
        return {};
    }
    return key;
}

} // namespace quorvel
