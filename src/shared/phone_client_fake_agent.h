#pragma once

// A stand-in agent for the phone client's tests: a loopback TLS listener with
// the code identity and any device keys, the hello check the real server
// makes, and a scripted answer per request. Runs its own io_context thread.

#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "shared/credential.h"
#include "shared/message.h"
#include "shared/psk.h"
#include "shared/tls_connection.h"
#include "shared/tls_listener.h"
#include "shared/transport.h"

namespace tallowick::testing {

class FakeAgent {
 public:
  enum class HelloMode {
    answer,  // check the proof; answer when it holds, close when not
    close,   // close every connection at its hello
    silent,  // never answer the hello
  };

  struct Config {
    std::string name = "Fake Desk";
    std::optional<std::string> code;
    std::map<std::string, Bytes> devices;
    HelloMode hello = HelloMode::answer;
  };

  // The messages to send back for a request of a greeted phone.
  using Responder = std::function<std::vector<Message>(const Message& request)>;

  explicit FakeAgent(Config config, Responder responder = {})
      : config_(std::move(config)),
        responder_(std::move(responder)),
        work_(asio::make_work_guard(io_)) {
    std::vector<Transport::Credential> credentials;
    if (config_.code) credentials.push_back(Transport::Credential::pairing(*config_.code));
    for (const auto& [id, key] : config_.devices) credentials.push_back({id, key});
    listener_ = TlsListener::make(Transport::parameters(credentials), 0, "127.0.0.1");
    std::promise<std::uint16_t> bound;
    auto boundFuture = bound.get_future();
    auto promise = std::make_shared<std::promise<std::uint16_t>>(std::move(bound));
    listener_->setStateHandler([this, promise](TlsListener::State state, const std::string&) {
      if (state == TlsListener::State::ready) promise->set_value(*listener_->port());
      if (state == TlsListener::State::failed) promise->set_value(0);
    });
    listener_->setNewConnectionHandler(
        [this](std::shared_ptr<TlsConnection> connection) { accept(std::move(connection)); });
    listener_->start(io_.get_executor());
    thread_ = std::thread([this] { io_.run(); });
    port_ = boundFuture.get();
  }

  ~FakeAgent() {
    asio::post(io_, [this] {
      listener_->cancel();
      for (auto& connection : connections_) connection->cancel();
    });
    work_.reset();
    thread_.join();
  }

  std::uint16_t port() const { return port_; }

  // The hellos the agent accepted, in order.
  std::vector<Message::Hello> hellos() const {
    std::lock_guard lock(mutex_);
    return hellos_;
  }
  // The requests of greeted phones, in arrival order.
  std::vector<Message> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Waits until `count` requests have arrived.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
  }

  // Ends every connection (a clean TLS finish, as the real agent's cancel).
  void closeAll() {
    asio::post(io_, [this] {
      for (auto& connection : connections_) connection->cancel();
    });
  }

 private:
  void accept(std::shared_ptr<TlsConnection> connection) {
    connections_.push_back(connection);
    connection->start(io_.get_executor());
    auto greeted = std::make_shared<bool>(false);
    std::weak_ptr<TlsConnection> weak = connection;
    Transport::receive(
        connection,
        [this, weak, greeted](Message message) {
          auto connection = weak.lock();
          if (!connection) return;
          if (!*greeted) {
            onHello(connection, message, *greeted);
            return;
          }
          {
            std::lock_guard lock(mutex_);
            requests_.push_back(message);
          }
          changed_.notify_all();
          if (!responder_) return;
          for (const auto& reply : responder_(message)) Transport::send(reply, connection);
        },
        [weak](std::optional<std::string>) {
          if (auto connection = weak.lock()) connection->cancel();
        });
  }

  void onHello(const std::shared_ptr<TlsConnection>& connection, const Message& message,
               bool& greeted) {
    const auto* hello = message.get<Message::Hello>();
    if (!hello || config_.hello == HelloMode::close) {
      connection->cancel();
      return;
    }
    if (config_.hello == HelloMode::silent) return;
    std::optional<Bytes> key;
    if (hello->deviceID.empty()) {
      if (config_.code) key = PSK::derive(*config_.code);
    } else if (auto it = config_.devices.find(hello->deviceID); it != config_.devices.end()) {
      key = it->second;
    }
    if (!key || !PSK::proofMatches(*key, hello->deviceID, hello->proof)) {
      connection->cancel();
      return;
    }
    greeted = true;
    {
      std::lock_guard lock(mutex_);
      hellos_.push_back(*hello);
    }
    Transport::send(Message::Hello{config_.name, "", {}}, connection);
  }

  Config config_;
  Responder responder_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::shared_ptr<TlsListener> listener_;
  std::vector<std::shared_ptr<TlsConnection>> connections_;  // io thread only
  std::thread thread_;
  std::uint16_t port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Message::Hello> hellos_;
  std::vector<Message> requests_;
};

// A valid key that differs with `seed`.
inline Bytes keyOf(std::uint8_t seed) {
  Bytes key(PSK::keyLength);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(seed + i);
  return key;
}

// An agent that pairs with `code` (none: no code pairing) and knows `devices`.
inline FakeAgent::Config agentWith(std::optional<std::string> code,
                                   std::map<std::string, Bytes> devices = {},
                                   FakeAgent::HelloMode hello = FakeAgent::HelloMode::answer) {
  FakeAgent::Config config;
  config.code = std::move(code);
  config.devices = std::move(devices);
  config.hello = hello;
  return config;
}

}  // namespace tallowick::testing
