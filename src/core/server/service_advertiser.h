#pragma once

// Publishes the phone listener as a DNS-SD service through the Avahi daemon.
//
// The advertiser owns an Avahi client on its own thread (Avahi's threaded
// poll). Everything it reports to its owner -- log lines and the name it
// registered under -- is handed to the owner's poster and so runs on the
// owner's executor, never on Avahi's thread.
//
// Without a daemon the advertiser logs one line ("DNS-SD unavailable: ...;
// running unadvertised") and keeps going; when the daemon (or the system bus)
// appears later the service is registered then. If another host or program
// already uses the name, the advertiser moves to Avahi's next alternative name
// ("Name #2", ...) and reports it.

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tallowick {

class ServiceAdvertiser {
 public:
  // Runs a job on the owner's executor. Must be callable from any thread.
  using Poster = std::function<void(std::function<void()>)>;
  using LogFn = std::function<void(const std::string& line)>;
  // The name the service is now published under (the given name or an
  // alternative after a collision).
  using RegisteredFn = std::function<void(const std::string& name)>;

  struct Options {
    // Service type to publish.
    std::string type = "_tallowick._tcp";
    // How long to wait before trying again to reach the system bus when it is
    // not there at all. (A missing Avahi daemon on a running bus needs no
    // polling: the bus announces the daemon when it appears.)
    std::chrono::milliseconds busRetry = std::chrono::seconds(5);
  };

  // REQUIRES: `post` and `log` are non-empty; `onRegistered` may be empty.
  ServiceAdvertiser(Poster post, LogFn log, RegisteredFn onRegistered = {});
  ServiceAdvertiser(Poster post, LogFn log, RegisteredFn onRegistered, Options options);
  // Posts to `executor` with asio::post.
  ServiceAdvertiser(asio::any_io_executor executor, LogFn log, RegisteredFn onRegistered = {});

  // Stops Avahi's thread, withdraws the service and frees the client. No
  // callback of this object runs after the destructor returns, provided the
  // destructor runs on the owner's executor (or after it stopped running).
  ~ServiceAdvertiser();

  ServiceAdvertiser(const ServiceAdvertiser&) = delete;
  ServiceAdvertiser& operator=(const ServiceAdvertiser&) = delete;

  // Publishes `name` (cut to the 63 bytes a DNS-SD instance name may hold, at
  // a character boundary) with `port`, no domain and no TXT record, on every
  // interface the daemon serves. Calling it again replaces the previous
  // registration. REQUIRES: `name` is not empty; port > 0.
  void start(const std::string& name, std::uint16_t port);

  // Withdraws the service. The advertiser may be started again.
  void stop();

  // The longest service name DNS-SD allows, in bytes.
  static constexpr std::size_t kMaxNameBytes = 63;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// `name` cut to at most `maxBytes` bytes without splitting a UTF-8 sequence.
std::string truncatedServiceName(const std::string& name, std::size_t maxBytes);

}  // namespace tallowick
