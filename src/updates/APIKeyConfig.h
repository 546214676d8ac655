#pragma once

#include <QString>
#include <cstdint>
#include <span>

namespace quorvel {

// Where the update service lives and how Quorvel identifies itself to it.
//
// The base URL and the key are chosen when the program is built (QUORVEL_UPDATE_BASE_URL and
// QUORVEL_UPDATE_API_KEY, see cmake/UpdateService.cmake). The key is kept as two byte lists
// and assembled on every read, so it never sits whole in the program file.
class APIKeyConfig {
public:
    APIKeyConfig() = delete;

    // "https://host[:port][/prefix]" without a trailing slash, or empty when this build has
    // no update service.
    static QString baseURL();
    // "com.quorvel.app"
    static QString appIdentifier();
    // The bearer key; empty when none is configured.
    static QString apiKey();

    // Byte i of the key is obfuscated[i] ^ salt[i], over the shorter list's length. Bytes that
    // are not valid UTF-8 give the empty key.
    static QString assembleKey(std::span<const std::uint8_t> obfuscated,
                               std::span<const std::uint8_t> salt);
};

} // namespace quorvel
