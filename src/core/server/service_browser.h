#pragma once

// Finds a DNS-SD service on the local network through the Avahi daemon: the
// phone side of the advertisement that ServiceAdvertiser publishes.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowick {

class ServiceBrowser {
 public:
  struct Found {
    std::string name;      // service instance name, e.g. "Desk"
    std::string hostName;  // e.g. "desk.local"
    std::string address;   // numeric, ready for a connect: "192.168.1.5", "fe80::1%eth0"
    std::uint16_t port = 0;
  };

  // Browses for services of `type` and resolves them; returns the first one
  // that resolves. Blocks the calling thread until then, or until the daemon
  // reports that it knows of no (further) service and no resolution is under
  // way, or until `timeout` has passed. Returns no value when nothing was
  // found, when there is no system bus or Avahi daemon, or on any Avahi
  // error. Safe to call from any thread; it runs its own event loop.
  static std::optional<Found> findFirst(std::string_view type, std::chrono::milliseconds timeout);
};

}  // namespace tallowick
