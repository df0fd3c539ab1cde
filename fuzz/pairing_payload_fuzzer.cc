// The text of a scanned QR code, which anyone can print. A payload that parses
// must satisfy every rule of the parser and survive jsonString and parse.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shared/pairing_payload.h"

using namespace tallowick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto payload = PairingPayload::parse(text);
  if (!payload) return 0;
  auto key = payload->keyData();
  if (!key || key->size() != 32 || payload->v != 1 || payload->svc != "_tallowick._tcp" ||
      payload->id.empty()) {
    std::abort();
  }
  auto again = PairingPayload::parse(payload->jsonString());
  if (!again || !(*again == *payload)) std::abort();
  return 0;
}
