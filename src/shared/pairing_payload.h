#pragma once

// The content of the pairing QR code: the agent's name, the service type to
// browse for, and the pending offer's identity and key. A phone that scans it
// connects with identity `id` and key `keyData()`.

#include <optional>
#include <string>
#include <string_view>

#include "shared/json_codec.h"

namespace tallowick {

struct PairingPayload {
  int v = 1;
  std::string name;
  std::string svc;
  std::string id;
  std::string psk;  // Base64 of the 32-byte key

  PairingPayload() = default;
  // v 1, svc "_tallowick._tcp", psk the Base64 text of `key`.
  PairingPayload(std::string name, std::string id, const Bytes& key);

  // Compact JSON with the members v, name, svc, id, psk, every "/" written as
  // "\/". This is the text the QR code shows.
  std::string jsonString() const;

  // The key, or no value when psk is not valid Base64.
  std::optional<Bytes> keyData() const;

  // The payload in `text`, or no value when it is not a JSON object with all
  // five members of the right types, v is not 1, svc is not exactly
  // "_tallowick._tcp", psk is not the Base64 of exactly 32 bytes, or id is
  // empty. The name is not checked and may be empty.
  static std::optional<PairingPayload> parse(std::string_view text);

  friend bool operator==(const PairingPayload&, const PairingPayload&) = default;
};

}  // namespace tallowick
