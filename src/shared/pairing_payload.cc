#include "shared/pairing_payload.h"

#include "shared/psk.h"

namespace tallowick {

PairingPayload::PairingPayload(std::string name, std::string id, const Bytes& key)
    : v(PSK::payloadVersion),
      name(std::move(name)),
      svc(PSK::serviceType),
      id(std::move(id)),
      psk(codec::base64Encode(key)) {}

std::string PairingPayload::jsonString() const {
  // Members in declaration order, as the phone's own encoder writes them.
  nlohmann::ordered_json j;
  j["v"] = v;
  j["name"] = name;
  j["svc"] = svc;
  j["id"] = id;
  j["psk"] = psk;
  // A computer name that is not valid UTF-8 keeps a readable QR code with
  // U+FFFD in place of the bad bytes rather than no code at all.
  const std::string compact =
      j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  // A solidus only ever appears inside a string in compact JSON, and never as
  // part of an escape the dumper writes, so escaping every one is exact.
  std::string out;
  out.reserve(compact.size() + 8);
  for (char c : compact) {
    if (c == '/') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::optional<Bytes> PairingPayload::keyData() const { return codec::base64Decode(psk); }

std::optional<PairingPayload> PairingPayload::parse(std::string_view text) {
  PairingPayload p;
  try {
    const Json j = codec::parse(text);
    p.v = codec::field<int>(j, "v");
    p.name = codec::field<std::string>(j, "name");
    p.svc = codec::field<std::string>(j, "svc");
    p.id = codec::field<std::string>(j, "id");
    p.psk = codec::field<std::string>(j, "psk");
  } catch (const DecodeError&) {
    return std::nullopt;
  }
  if (p.v != PSK::payloadVersion || p.svc != PSK::serviceType || p.id.empty()) return std::nullopt;
  auto key = p.keyData();
  if (!key || key->size() != PSK::keyLength) return std::nullopt;
  return p;
}

}  // namespace tallowick
