#pragma once
// What the server reports to its owner: a status snapshot whenever something
// shown to the user changes, log lines, the listener's port, finished scans
// and finished commits.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/pairing/pairing_store.h"
#include "core/scan/scan_root.h"
#include "shared/json_codec.h"
#include "shared/report.h"

namespace tallowick {

// How far a running scan is: files seen so far against the previous scan's
// count (`done` may pass `total`).
struct ServerProgress {
  std::int64_t done = 0;
  std::int64_t total = 0;
  friend bool operator==(const ServerProgress&, const ServerProgress&) = default;
};

// The cards of the last report and what is staged on them.
struct ServerCardCounts {
  std::int64_t reclaimable = 0;  // bytes of all cards
  int cards = 0;
  int files = 0;         // file cards
  int groups = 0;        // group cards
  int pendingCount = 0;  // files staged for the Trash
  std::int64_t pendingBytes = 0;
  friend bool operator==(const ServerCardCounts&, const ServerCardCounts&) = default;
};

struct ServerStatus : ServerCardCounts {
  std::optional<Date> scannedAt;
  std::optional<ServerProgress> scanning;  // present while a scan runs
  std::optional<std::string> phone;        // the last phone that said hello
  bool listening = false;
  std::string code;
  bool pairingPaused = false;
  std::string qrPayload;
  std::vector<PairingStore::Device> devices;
  std::vector<ScanRoot> roots;
  friend bool operator==(const ServerStatus&, const ServerStatus&) = default;
};

struct ServerEvent {
  // The listener is ready (after the status event that sets `listening`).
  struct Listening {
    std::optional<std::uint16_t> port;
    friend bool operator==(const Listening&, const Listening&) = default;
  };
  // The listener failed and no retry is due.
  struct ListenFailed {
    std::string error;
    friend bool operator==(const ListenFailed&, const ListenFailed&) = default;
  };
  struct Log {
    std::string line;
    friend bool operator==(const Log&, const Log&) = default;
  };
  // A copy of the whole snapshot.
  struct Status {
    ServerStatus status;
    friend bool operator==(const Status&, const Status&) = default;
  };
  // A scan ended, after the cards were rebuilt.
  struct Scanned {
    Report report;
    friend bool operator==(const Scanned&, const Scanned&) = default;
  };
  // A commit ended, before the phone got its reply.
  struct Committed {
    std::int64_t trashed = 0;
    std::int64_t freed = 0;
    friend bool operator==(const Committed&, const Committed&) = default;
  };

  std::variant<Listening, ListenFailed, Log, Status, Scanned, Committed> value;

  template <class T>
  const T* get() const {
    return std::get_if<T>(&value);
  }
  friend bool operator==(const ServerEvent&, const ServerEvent&) = default;
};

}  // namespace tallowick
