#include "shared/psk.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

namespace tallowick::PSK {

namespace {

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "tallowick: %s; refusing to continue with a predictable key\n", what);
  std::fflush(stderr);
  std::abort();
}

void fillOrDie(detail::RandomFill fill, unsigned char* buffer, std::size_t length) {
  if (fill(buffer, static_cast<int>(length)) != 1) fatal("the secure random generator failed");
}

std::uint32_t uniformBelow(detail::RandomFill fill, std::uint32_t limit) {
  // Rejection sampling: drop draws from the incomplete top block so that
  // every value below limit is equally likely (a plain modulo is not).
  const std::uint32_t cutoff = UINT32_MAX - (UINT32_MAX % limit);
  for (;;) {
    unsigned char raw[4];
    fillOrDie(fill, raw, sizeof raw);
    std::uint32_t value = (std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) |
                          (std::uint32_t{raw[2]} << 8) | std::uint32_t{raw[3]};
    if (value < cutoff) return value % limit;
  }
}

}  // namespace

namespace detail {

Bytes newKeyFrom(RandomFill fill) {
  Bytes key(keyLength, 0);
  fillOrDie(fill, key.data(), key.size());
  return key;
}

std::string newCodeFrom(RandomFill fill) {
  char text[16];
  std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(uniformBelow(fill, codeLimit)));
  return text;
}

}  // namespace detail

Bytes newKey() { return detail::newKeyFrom(RAND_bytes); }

std::string newDeviceID() {
  static constexpr char kHex[] = "0123456789abcdef";
  Bytes key = newKey();
  std::string id(deviceIDPrefix);
  for (std::size_t i = 0; i < 8; ++i) {
    id.push_back(kHex[key[i] >> 4]);
    id.push_back(kHex[key[i] & 0x0f]);
  }
  return id;
}

std::string newCode() { return detail::newCodeFrom(RAND_bytes); }

Bytes derive(std::string_view code) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_KDF_CTX* ctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
  EVP_KDF_free(kdf);
  if (!ctx) fatal("HKDF is unavailable");

  char digest[] = "SHA256";
  // OSSL_PARAM takes non-const pointers but only reads these buffers.
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(code.data()),
                                        code.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(hkdfSalt.data()),
                                        hkdfSalt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(hkdfInfo.data()),
                                        hkdfInfo.size()),
      OSSL_PARAM_construct_end(),
  };
  Bytes key(keyLength, 0);
  int ok = EVP_KDF_derive(ctx, key.data(), key.size(), params);
  EVP_KDF_CTX_free(ctx);
  if (ok != 1) fatal("HKDF derivation failed");
  return key;
}

Bytes proof(const Bytes& key, std::string_view deviceID) {
  std::string message(proofPrefix);
  message.append(deviceID);
  Bytes mac(EVP_MAX_MD_SIZE, 0);
  unsigned int length = 0;
  // HMAC with an empty key is still defined (RFC 2104); give OpenSSL a valid
  // pointer for it.
  static const unsigned char kNoKey = 0;
  if (!HMAC(EVP_sha256(), key.empty() ? &kNoKey : key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac.data(),
            &length) ||
      length != keyLength) {
    fatal("HMAC-SHA256 failed");
  }
  mac.resize(length);
  return mac;
}

bool proofMatches(const Bytes& key, std::string_view deviceID, const Bytes& received) {
  if (received.size() != keyLength) return false;
  Bytes expected = proof(key, deviceID);
  return CRYPTO_memcmp(expected.data(), received.data(), keyLength) == 0;
}

}  // namespace tallowick::PSK
