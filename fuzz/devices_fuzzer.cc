// The paired phones' list ("devices.json"), read at every start; its keys
// let phones in. The store loads whatever the file holds: every device it
// keeps has a whole key, and the list comes back unchanged through the form
// the store writes.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/pairing/pairing_store.h"
#include "shared/psk.h"

using namespace tallowick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The store reads a path: one in-memory file, refilled for each input.
  static const int fd = ::memfd_create("devices.json", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  const PairingStore store(path, [] {
    return PairingStore::Offer{"dev-offer", Bytes(PSK::keyLength, 7)};
  });
  for (const PairingStore::Device& device : store.devices()) {
    if (device.key.size() != PSK::keyLength) std::abort();
    // The offer's id is looked up first; any other id finds its first device.
    if (device.deviceID != store.offer().id &&
        store.key(device.deviceID) != store.device(device.deviceID)->key) {
      std::abort();
    }
  }
  const std::string written = codec::dumpStored(codec::encode(store.devices()));
  try {
    if (codec::decode<std::vector<PairingStore::Device>>(codec::parse(written)) !=
        store.devices()) {
      std::fprintf(stderr, "round trip changed the list: %s\n", written.c_str());
      std::abort();
    }
  } catch (const DecodeError& e) {
    std::fprintf(stderr, "own list does not load: %s\n", e.what());
    std::abort();
  }
  return 0;
}
