#pragma once

// A TCP listener whose accepted connections speak TLS 1.3 with the
// pre-shared keys of its parameters: a fixed list, or a source asked at every
// handshake.
//
// Threading: configure it before start(); after start() call cancel() and
// port() only from the executor it was started on, where every callback runs.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "shared/credential.h"
#include "shared/tls_connection.h"

namespace tallowick {

class TlsContext;

class TlsListener : public std::enable_shared_from_this<TlsListener> {
 public:
  // setup until start(); ready once bound and listening (port() then has the
  // bound port); failed with a text when the address or port cannot be bound;
  // cancelled after cancel().
  enum class State { setup, ready, failed, cancelled };

  using StateHandler = std::function<void(State state, const std::string& error)>;
  // Gets each accepted TCP connection before its TLS handshake; the receiver
  // sets its state handler and starts it (on any executor). A connection
  // that is not started is closed when dropped.
  using NewConnectionHandler = std::function<void(std::shared_ptr<TlsConnection> connection)>;

  // `port` 0 means any free port. An empty `bindAddress` listens on all
  // interfaces (IPv6 and IPv4 where the host has IPv6, else IPv4); tests pass
  // "127.0.0.1".
  static std::shared_ptr<TlsListener> make(Transport::Parameters parameters, std::uint16_t port = 0,
                                           std::string bindAddress = {});

  TlsListener(const TlsListener&) = delete;
  TlsListener& operator=(const TlsListener&) = delete;
  ~TlsListener();

  // REQUIRES: start() not called yet.
  void setStateHandler(StateHandler handler);
  void setNewConnectionHandler(NewConnectionHandler handler);

  // Binds, listens and accepts on `executor`. REQUIRES: called once.
  void start(asio::any_io_executor executor);

  // Stops accepting and closes the listening socket; connections already
  // handed out are not touched. The handlers are released after cancelled
  // has been delivered. Calling it again does nothing.
  void cancel();

  State state() const { return state_; }
  // The bound port once ready.
  std::optional<std::uint16_t> port() const { return port_; }

 private:
  TlsListener(std::shared_ptr<TlsContext> context, std::uint16_t port, std::string bindAddress);

  void setState(State state, const std::string& error = {});
  std::error_code bind();
  void accept();

  std::shared_ptr<TlsContext> context_;
  std::uint16_t requestedPort_;
  std::string bindAddress_;

  std::optional<asio::any_io_executor> executor_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<asio::steady_timer> retryTimer_;

  State state_ = State::setup;
  std::optional<std::uint16_t> port_;
  StateHandler stateHandler_;
  NewConnectionHandler newConnectionHandler_;
};

}  // namespace tallowick
