#pragma once

// Pre-shared keys between the agent and a phone: fresh random keys, device
// identifiers, six-digit pairing codes, the key derived from a code, and the
// proof of key possession carried by `hello`.
//
// Every function here is pure or uses only OpenSSL's thread-safe generator;
// call them from any thread.
//
// A failure of the random generator or of the crypto library aborts the
// process with a message on standard error. There is no safe value to return
// instead (a zero or partial key would be predictable) and no caller could do
// better than stop: a host whose CSPRNG fails must not keep pairing phones.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/json_codec.h"

namespace tallowick::PSK {

// DNS-SD service type advertised by the agent and carried in the QR payload.
inline constexpr std::string_view serviceType = "_tallowick._tcp";
// TLS PSK identity of a connection that pairs with the six-digit code.
inline constexpr std::string_view pairingIdentity = "tallowick";
// HKDF salt and info of the code key derivation.
inline constexpr std::string_view hkdfSalt = "tallowick.psk.v1";
inline constexpr std::string_view hkdfInfo = "tls-psk";
// The proof is HMAC(key, proofPrefix + deviceID).
inline constexpr std::string_view proofPrefix = "hello:";
// Device and offer identifiers: deviceIDPrefix + 16 lower-case hex digits.
inline constexpr std::string_view deviceIDPrefix = "dev-";
inline constexpr std::size_t deviceIDLength = 20;
// Value of "v" in the pairing QR payload.
inline constexpr int payloadVersion = 1;
// Length of every pre-shared key, and of a proof.
inline constexpr std::size_t keyLength = 32;
// Pairing codes are "%06d" of a value in [0, codeLimit).
inline constexpr std::uint32_t codeLimit = 1'000'000;
inline constexpr std::size_t codeLength = 6;

// keyLength bytes from the OS-seeded CSPRNG (aborts if it fails).
Bytes newKey();

// "dev-" followed by the first 8 bytes of a newKey() value as lower-case hex.
std::string newDeviceID();

// A value drawn uniformly from [0, 1000000), formatted "%06d" (leading zeros
// kept: always six characters).
std::string newCode();

// HKDF-SHA256 (RFC 5869) of the code's bytes exactly as given (leading zeros
// are part of the input), salt hkdfSalt, info hkdfInfo, keyLength bytes out.
Bytes derive(std::string_view code);

// HMAC-SHA256 keyed with `key` over proofPrefix followed by `deviceID`.
// An empty deviceID gives the HMAC of "hello:" alone.
Bytes proof(const Bytes& key, std::string_view deviceID);

// True when `received` equals proof(key, deviceID). Compares in constant time
// (the length is not secret); a received proof of any other length is false.
bool proofMatches(const Bytes& key, std::string_view deviceID, const Bytes& received);

namespace detail {
// The generator behind newKey, newDeviceID and newCode, with OpenSSL's
// RAND_bytes calling convention (1 = success). Replaceable so that tests can
// show what a failing generator does.
using RandomFill = int (*)(unsigned char* buffer, int length);
Bytes newKeyFrom(RandomFill fill);
std::string newCodeFrom(RandomFill fill);
}  // namespace detail

}  // namespace tallowick::PSK
