#pragma once

// Small secrets (a phone's pre-shared key) kept as generic-password items of
// the service "Tallowick", addressed by an account string. Each item is one
// file of mode 0600 in the "keychain" folder (mode 0700) of the storage
// directory, replaced atomically on write. The phone client uses it; the
// agent keeps its keys in its pairing store instead.
//
// Any account string is safe: it is escaped into a single file name, so
// "../x" or "a/b" never leave the folder.

#include <optional>
#include <string>
#include <string_view>

#include "shared/json_codec.h"
#include "shared/xdg.h"

namespace tallowick::Keychain {

inline constexpr std::string_view service = "Tallowick";

// The storage folder the items live in by default.
inline std::string defaultStorageDirectory() { return xdg::defaultStorageDirectory(); }

// The item's data, or no value when there is no such item or it cannot be
// read.
std::optional<Bytes> read(std::string_view account,
                          const std::string& storageDirectory = defaultStorageDirectory());

// Adds the item or replaces its data. True when the data is stored.
bool write(const Bytes& data, std::string_view account,
           const std::string& storageDirectory = defaultStorageDirectory());

// Deletes the item if there is one. ("delete" is a C++ keyword.)
void remove(std::string_view account,
            const std::string& storageDirectory = defaultStorageDirectory());

// Where the item of `account` lives.
std::string itemPath(std::string_view account, const std::string& storageDirectory);

}  // namespace tallowick::Keychain
