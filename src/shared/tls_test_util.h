#pragma once

// Helpers shared by the TLS and transport tests: one io_context driven by the
// test's own thread, a loopback listener, and a client connected to it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio.hpp>

#include "shared/credential.h"
#include "shared/tls_connection.h"
#include "shared/tls_listener.h"

namespace tallowick::testing {

inline Bytes keyOf(std::uint8_t seed) {
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(seed + i);
  return key;
}

inline std::string hex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Runs `io` on this thread until `done` holds or `limit` passes; returns
// whether `done` held.
inline bool runUntil(asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (io.stopped()) io.restart();
    io.run_one_for(std::chrono::milliseconds(20));
  }
  return true;
}

// What a connection's state handler saw.
struct StateLog {
  std::vector<TlsConnection::State> states;
  std::string error;

  bool has(TlsConnection::State state) const {
    for (auto s : states) {
      if (s == state) return true;
    }
    return false;
  }
  bool ended() const {
    return has(TlsConnection::State::failed) || has(TlsConnection::State::cancelled);
  }
};

inline void watch(const std::shared_ptr<TlsConnection>& connection,
                  const std::shared_ptr<StateLog>& log) {
  connection->setStateHandler([log](TlsConnection::State state, const std::string& error) {
    log->states.push_back(state);
    if (!error.empty()) log->error = error;
  });
}

// A listener on 127.0.0.1 that starts every accepted connection on `io`.
struct LoopbackServer {
  std::shared_ptr<TlsListener> listener;
  std::vector<std::shared_ptr<TlsConnection>> accepted;
  std::vector<std::shared_ptr<StateLog>> logs;
  std::uint16_t port = 0;

  // Returns false if the listener did not become ready.
  bool start(asio::io_context& io, Transport::Parameters parameters) {
    listener = TlsListener::make(std::move(parameters), 0, "127.0.0.1");
    auto ready = std::make_shared<bool>(false);
    listener->setStateHandler([ready](TlsListener::State state, const std::string&) {
      if (state == TlsListener::State::ready) *ready = true;
    });
    listener->setNewConnectionHandler([this, &io](std::shared_ptr<TlsConnection> connection) {
      auto log = std::make_shared<StateLog>();
      watch(connection, log);
      accepted.push_back(connection);
      logs.push_back(log);
      connection->start(io.get_executor());
    });
    listener->start(io.get_executor());
    if (!runUntil(io, [&] { return *ready; })) return false;
    port = *listener->port();
    return true;
  }

  void stop() {
    if (listener) listener->cancel();
    for (auto& connection : accepted) connection->cancel();
  }
};

}  // namespace tallowick::testing
