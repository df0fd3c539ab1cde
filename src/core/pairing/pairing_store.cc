#include "core/pairing/pairing_store.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "shared/file_util.h"
#include "shared/psk.h"

namespace tallowick {

Json PairingStore::Device::toJson() const {
  Json json = Json::object();
  json["deviceID"] = codec::encode(deviceID);
  json["key"] = codec::encode(key);
  json["name"] = codec::encode(name);
  json["pairedAt"] = codec::encode(pairedAt);
  return json;
}

PairingStore::Device PairingStore::Device::fromJson(const Json& json) {
  Device device{
      .deviceID = codec::field<std::string>(json, "deviceID"),
      .name = codec::field<std::string>(json, "name"),
      .key = codec::field<Bytes>(json, "key"),
      .pairedAt = codec::field<Date>(json, "pairedAt"),
  };
  if (device.key.size() != PSK::keyLength) {
    throw DecodeError("Key \"key\": expected " + std::to_string(PSK::keyLength) + " bytes, got " +
                      std::to_string(device.key.size()) + ".");
  }
  return device;
}

namespace {
PairingStore::Offer freshOffer() {
  return PairingStore::Offer{.id = PSK::newDeviceID(), .key = PSK::newKey()};
}
}  // namespace

PairingStore::PairingStore(std::string path, OfferSource newOffer)
    : newOffer_(newOffer ? std::move(newOffer) : OfferSource(&freshOffer)),
      offer_(newOffer_()),
      path_(std::move(path)) {
  load();
}

void PairingStore::load() {
  std::optional<std::string> text = readWholeFile(path_);
  if (!text) return;
  try {
    devices_ = codec::decode<std::vector<Device>>(codec::parse(*text));
  } catch (const DecodeError&) {
    devices_.clear();
  }
}

std::optional<Bytes> PairingStore::key(std::string_view identity) const {
  if (identity == offer_.id) return offer_.key;
  if (auto found = device(identity)) return std::move(found->key);
  return std::nullopt;
}

std::optional<PairingStore::Device> PairingStore::device(std::string_view deviceID) const {
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const Device& d) { return d.deviceID == deviceID; });
  if (it == devices_.end()) return std::nullopt;
  return *it;
}

std::optional<PairingStore::Device> PairingStore::complete(std::string_view identity,
                                                           std::string_view name, Date now) {
  if (identity == offer_.id) {
    Device device{
        .deviceID = offer_.id, .name = std::string(name), .key = offer_.key, .pairedAt = now};
    devices_.push_back(device);
    offer_ = newOffer_();
    save();
    return device;
  }
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const Device& d) { return d.deviceID == identity; });
  if (it != devices_.end() && it->name != name) {
    it->name = std::string(name);
    save();
  }
  return std::nullopt;
}

void PairingStore::forget(std::string_view deviceID) {
  std::erase_if(devices_, [&](const Device& d) { return d.deviceID == deviceID; });
  save();
}

PairingPayload PairingStore::payload(std::string_view name) const {
  return PairingPayload(std::string(name), offer_.id, offer_.key);
}

void PairingStore::save() const {
  std::filesystem::path parent = std::filesystem::path(path_).parent_path();
  // A new storage folder holds keys: keep it private. Errors are absorbed;
  // the write below then fails and is absorbed too.
  if (!parent.empty()) createDirectories(parent.string(), 0700);
  writeFileAtomically(path_, codec::dumpStored(codec::encode(devices_)), 0600);
}

}  // namespace tallowick
