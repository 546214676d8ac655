# Update service deployment settings.
#
#   cmake -DQUORVEL_UPDATE_BASE_URL=https://updates.example.com \
#         -DQUORVEL_UPDATE_API_KEY=<key> ...
#
# The key may instead come from the environment variable QUORVEL_UPDATE_API_KEY at configure
# time (used when the cache variable is empty), which keeps it out of CMakeCache.txt. The build
# keeps that key (in the same two-list form as below) when CMake later runs again without the
# variable, as the build does by itself after a CMakeLists.txt changes; configure with the
# variable set but empty to drop it.
#
# The base URL is an https origin (optionally with a path prefix) without a trailing slash;
# the app appends "/api/v1/apps/<identifier>/version". Left empty (the default), no update
# service is configured and the app never contacts the network for updates.
#
# The key is written into ${CMAKE_BINARY_DIR}/generated/UpdateServiceConfig.h as two byte
# lists whose exclusive-or is the key; the second list is a random salt, made afresh whenever the
# key changes, so neither the sources nor the built program hold the key as one piece.

set(QUORVEL_UPDATE_BASE_URL "" CACHE STRING
    "Update service base URL (https://host[:port][/prefix], no trailing slash); empty = none")
set(QUORVEL_UPDATE_API_KEY "" CACHE STRING "Bearer key the update service accepts")
mark_as_advanced(QUORVEL_UPDATE_API_KEY)

# _quorvel_xor_hex(OUT A B): the byte-wise exclusive-or of two hex strings of equal length,
# as a hex string (two lower-case digits per byte).
function(_quorvel_xor_hex out a b)
    set(result "")
    string(LENGTH "${a}" length)
    set(at 0)
    while(at LESS length)
        string(SUBSTRING "${a}" ${at} 2 x)
        string(SUBSTRING "${b}" ${at} 2 y)
        math(EXPR byte "(0x${x} ^ 0x${y}) + 256" OUTPUT_FORMAT HEXADECIMAL) # 0x1nn
        string(SUBSTRING "${byte}" 3 2 byte)
        string(APPEND result "${byte}")
        math(EXPR at "${at} + 2")
    endwhile()
    string(TOLOWER "${result}" result)
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

set(_quorvel_url "${QUORVEL_UPDATE_BASE_URL}")
set(_quorvel_key "${QUORVEL_UPDATE_API_KEY}")
set(_key_from_env FALSE)
# A key kept out of the cache (and out of shell history) can come from the environment.
if(_quorvel_key STREQUAL "" AND DEFINED ENV{QUORVEL_UPDATE_API_KEY})
    set(_quorvel_key "$ENV{QUORVEL_UPDATE_API_KEY}")
    set(_key_from_env TRUE)
endif()
string(HEX "${_quorvel_key}" _key_hex)
# No key given this time, but one came from the environment before: keep it.
if(_key_hex STREQUAL "" AND NOT DEFINED ENV{QUORVEL_UPDATE_API_KEY}
   AND NOT "${QUORVEL_UPDATE_KEY_FROM_ENV}" STREQUAL "")
    _quorvel_xor_hex(_key_hex "${QUORVEL_UPDATE_KEY_FROM_ENV}" "${QUORVEL_UPDATE_KEY_SALT}")
    set(_key_from_env TRUE)
    message(STATUS "Update service key: the one QUORVEL_UPDATE_API_KEY gave at an earlier "
                   "configure")
endif()

if(NOT _quorvel_url STREQUAL "")
    if(NOT _quorvel_url MATCHES "^https://")
        message(FATAL_ERROR
            "QUORVEL_UPDATE_BASE_URL must be an https:// URL, got \"${_quorvel_url}\". "
            "The update request carries the API key, so plain http and other schemes are "
            "refused. Leave QUORVEL_UPDATE_BASE_URL empty to build without an update service.")
    endif()
    # Host (name, IPv4 or bracketed IPv6), optional port, optional path prefix; no user info,
    # query, fragment, spaces or quotes.
    set(_host "([A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?|\\[[0-9A-Fa-f:.]+\\])")
    set(_path "(/[A-Za-z0-9._~!$&'()*+,=:@%/-]*)?")
    if(NOT _quorvel_url MATCHES "^https://${_host}(:[0-9]+)?${_path}$")
        message(FATAL_ERROR
            "QUORVEL_UPDATE_BASE_URL \"${_quorvel_url}\" is not a valid https base URL. "
            "Expected https://host[:port][/prefix], without user info, query or fragment.")
    endif()
    if(_quorvel_url MATCHES "/$")
        message(FATAL_ERROR
            "QUORVEL_UPDATE_BASE_URL \"${_quorvel_url}\" ends with \"/\". Give it without a "
            "trailing slash; the app appends \"/api/v1/apps/...\" itself.")
    endif()
    if(_key_hex STREQUAL "")
        message(WARNING "QUORVEL_UPDATE_BASE_URL is set but QUORVEL_UPDATE_API_KEY is empty: "
                        "update requests will carry an empty bearer token.")
    endif()
    message(STATUS "Update service: ${_quorvel_url}")
else()
    message(STATUS "Update service: none (set QUORVEL_UPDATE_BASE_URL to enable update checks)")
endif()

# The key goes into an HTTP header: visible ASCII only (no spaces, no control characters).
if(NOT _quorvel_key STREQUAL "" AND NOT _quorvel_key MATCHES "^[!-~]+$")
    message(FATAL_ERROR
        "QUORVEL_UPDATE_API_KEY may only contain visible ASCII characters (no spaces, "
        "control characters or non-ASCII text).")
endif()

# Two byte lists: salt = random, obfuscated = key XOR salt.
string(LENGTH "${_key_hex}" _key_hex_length)
math(EXPR _key_length "${_key_hex_length} / 2")
set(_obfuscated "")
set(_salt "")
set(_obfuscated_hex "")
if(_key_length GREATER 0)
    # A fresh salt whenever the key changes; kept otherwise, so that a plain re-configure
    # does not rebuild and re-link everything.
    string(SHA256 _key_digest "${_key_hex}")
    if(NOT QUORVEL_UPDATE_KEY_DIGEST STREQUAL _key_digest)
        string(RANDOM LENGTH ${_key_hex_length} ALPHABET "0123456789abcdef" _fresh_salt)
        set(QUORVEL_UPDATE_KEY_SALT "${_fresh_salt}" CACHE INTERNAL "")
        set(QUORVEL_UPDATE_KEY_DIGEST "${_key_digest}" CACHE INTERNAL "")
    endif()
    set(_salt_hex "${QUORVEL_UPDATE_KEY_SALT}")
    _quorvel_xor_hex(_obfuscated_hex "${_key_hex}" "${_salt_hex}")
    math(EXPR _last "${_key_length} - 1")
    foreach(_i RANGE 0 ${_last})
        math(EXPR _at "${_i} * 2")
        string(SUBSTRING "${_obfuscated_hex}" ${_at} 2 _x)
        string(SUBSTRING "${_salt_hex}" ${_at} 2 _s)
        string(APPEND _obfuscated "0x${_x}, ")
        string(APPEND _salt "0x${_s}, ")
    endforeach()
endif()
# What a later configure without the environment variable needs to keep the key.
if(_key_from_env)
    set(QUORVEL_UPDATE_KEY_FROM_ENV "${_obfuscated_hex}" CACHE INTERNAL "")
else()
    set(QUORVEL_UPDATE_KEY_FROM_ENV "" CACHE INTERNAL "")
endif()

set(QUORVEL_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
file(MAKE_DIRECTORY "${QUORVEL_GENERATED_DIR}")
file(WRITE "${QUORVEL_GENERATED_DIR}/UpdateServiceConfig.h.in"
"// Generated by cmake/UpdateService.cmake. Do not edit, do not commit.
#pragma once

#include <array>
#include <cstdint>

namespace quorvel::generated {

inline constexpr char updateBaseURL[] = \"${_quorvel_url}\";

// updateKeyObfuscated[i] ^ updateKeySalt[i] is byte i of the key.
inline constexpr std::array<std::uint8_t, ${_key_length}> updateKeyObfuscated{${_obfuscated}};
inline constexpr std::array<std::uint8_t, ${_key_length}> updateKeySalt{${_salt}};

} // namespace quorvel::generated
")
configure_file("${QUORVEL_GENERATED_DIR}/UpdateServiceConfig.h.in"
               "${QUORVEL_GENERATED_DIR}/UpdateServiceConfig.h" COPYONLY)

unset(_quorvel_url)
unset(_quorvel_key)
unset(_key_from_env)
unset(_key_hex)
unset(_obfuscated_hex)
unset(_salt_hex)
unset(_obfuscated)
unset(_salt)
