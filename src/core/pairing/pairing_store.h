#pragma once

// The phones this agent has paired with, and the one pending QR pairing offer.
//
// The device list lives in one JSON file ("devices.json" in the storage
// directory): a pretty-printed array, keys sorted, of objects with "deviceID",
// "key" (Base64), "name" and "pairedAt" (ISO 8601 UTC). The keys are stored
// there in the clear, so the file is written atomically with mode 0600. The
// offer is never written: every start makes a new one, which invalidates any
// QR code shown before.
//
// Threading: no lock. The server owns the one store and calls it only from
// its queue ("tallowick.server"); calls from any other thread are a bug.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/json_codec.h"
#include "shared/pairing_payload.h"

namespace tallowick {

class PairingStore {
 public:
  // One paired phone.
  struct Device {
    std::string deviceID;  // its identifier and TLS PSK identity
    std::string name;      // display name as last sent in hello
    Bytes key;             // 32-byte pre-shared key
    Date pairedAt;

    Json toJson() const;
    // Throws DecodeError for a missing member, a wrong type, a date that is
    // not ISO 8601, or a key that is not 32 bytes of Base64 (a short or empty
    // key would let anyone who knows the device ID in). Unknown members are
    // ignored.
    static Device fromJson(const Json& json);

    friend bool operator==(const Device&, const Device&) = default;
  };

  // The pending pairing offer shown in the QR code.
  struct Offer {
    std::string id;  // PSK::newDeviceID()
    Bytes key;       // PSK::newKey()

    friend bool operator==(const Offer&, const Offer&) = default;
  };

  // Makes offers; the default draws PSK::newDeviceID() and PSK::newKey().
  using OfferSource = std::function<Offer()>;

  // Makes a new offer, then loads the device list from `path`. A file that
  // cannot be read or decoded gives an empty list, silently; it stays on disk
  // until the next save overwrites it. Nothing is written here.
  explicit PairingStore(std::string path, OfferSource newOffer = {});

  PairingStore(const PairingStore&) = delete;
  PairingStore& operator=(const PairingStore&) = delete;

  // Paired phones in pairing order.
  const std::vector<Device>& devices() const { return devices_; }
  const Offer& offer() const { return offer_; }
  const std::string& path() const { return path_; }

  // The key for a TLS PSK identity: the offer's key when it is the offer's id
  // (checked first), else the key of the first device with that ID.
  std::optional<Bytes> key(std::string_view identity) const;

  // The first device with that ID.
  std::optional<Device> device(std::string_view deviceID) const;

  // Called once a hello proof for `identity` was accepted.
  // - The offer's id: appends a new device with the offer's id and key,
  //   replaces the offer with a fresh one, saves and returns the device.
  // - A known device ID: renames the device (and saves) when `name` differs;
  //   returns no value, as this is not a new pairing.
  // - Anything else: changes nothing and returns no value.
  std::optional<Device> complete(std::string_view identity, std::string_view name, Date now);

  // Removes every device with this ID, keeping the others in order, and saves
  // (even when nothing was removed).
  void forget(std::string_view deviceID);

  // The QR payload for the current offer, with the agent's display name.
  // Rebuild it after every new pairing: the offer it carries is then spent.
  PairingPayload payload(std::string_view name) const;

  // Writes the device list: creates the containing folder if needed, then
  // replaces the file atomically with mode 0600. Failures are absorbed; the
  // list in memory stays authoritative.
  void save() const;

 private:
  void load();

  OfferSource newOffer_;
  std::vector<Device> devices_;
  Offer offer_;
  std::string path_;
};

}  // namespace tallowick
