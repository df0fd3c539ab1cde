#pragma once

// One TLS 1.3 pre-shared-key connection over TCP, either made by a client
// towards a host and port or accepted by a TlsListener. The owner sets a state
// handler, starts it on an executor (the server's io_context, or a strand)
// and then receives and sends whole byte strings; every callback runs on that
// executor.
//
// Threading: before start() every call may come from any one thread; after
// start() every call must come from the executor it was started on.
//
// Lifetime: the connection keeps itself alive while it has work queued on its
// executor. It never holds itself through its owner's callbacks: a receive or
// send completion is released once it has run, and cancel() or a failure
// completes every pending one; a receive or send in flight travels with its
// I/O operation, so an executor that is torn down without running it frees
// it. The state handler is released once the cancelled state has been
// delivered; a handler that holds the connection should hold it weakly anyway.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "shared/credential.h"
#include "shared/json_codec.h"

namespace tallowick {

class TlsContext;

class TlsConnection : public std::enable_shared_from_this<TlsConnection> {
 public:
  // setup until start(); preparing while TCP connects and TLS shakes hands;
  // ready once the handshake completed with a known identity and its key;
  // failed with a text when the handshake or the stream broke; cancelled
  // after cancel(). A client with an unknown identity or a wrong key never
  // reaches ready.
  enum class State { setup, preparing, ready, failed, cancelled };

  // `error` is the failure's description for failed, empty otherwise.
  using StateHandler = std::function<void(State state, const std::string& error)>;
  // `content` holds the bytes that arrived (possibly fewer than asked for, or
  // none); `isComplete` is true when the peer finished the stream cleanly (a
  // TLS close_notify); `error` describes a network or TLS failure.
  using ReceiveCompletion =
      std::function<void(Bytes content, bool isComplete, std::optional<std::string> error)>;
  using SendCompletion = std::function<void(std::optional<std::string> error)>;

  // How long a connection may take from start() to ready.
  static constexpr std::chrono::seconds kHandshakeTimeout{30};

  // A client connection to host:port presenting the first credential of
  // `parameters`, or of what its source gives when it has one (asked once,
  // on the executor, when the TCP connection stands).
  static std::shared_ptr<TlsConnection> make(std::string host, std::uint16_t port,
                                             Transport::Parameters parameters);

  // A server connection for a socket the listener accepted. Used by
  // TlsListener; the socket may belong to any io_context.
  static std::shared_ptr<TlsConnection> accepted(asio::ip::tcp::socket socket,
                                                 std::shared_ptr<TlsContext> context);

  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;
  ~TlsConnection();

  // REQUIRES: start() not called yet.
  void setStateHandler(StateHandler handler);

  // Connects (client) and runs the TLS handshake; all I/O and callbacks then
  // run on `executor`. REQUIRES: called once, and not after cancel().
  void start(asio::any_io_executor executor);

  // Ends the connection: queued sends are still written, then a TLS
  // close_notify goes out and the socket closes. Pending receives complete
  // with the error "Operation canceled" (see isCancellation()), or with the
  // failure's text when the connection had failed first; the state becomes
  // cancelled (also after failed). Calling it again does nothing.
  void cancel();

  // True for the error with which a receive or send completes because the
  // owner cancelled the connection, as opposed to a network or TLS failure.
  static bool isCancellation(const std::optional<std::string>& error);

  // Asks for exactly `length` bytes (the minimum and the maximum length are
  // both `length`). Receives are served one at a time in call order, once the
  // connection is ready; each completion is called exactly once. After the
  // peer finished the stream, later receives complete at once with no bytes
  // and isComplete; after failed or cancelled, with an error.
  // REQUIRES: length >= 1.
  void receive(std::size_t length, ReceiveCompletion completion);

  // Queues `content` to be written as one piece; sends go out in call order
  // once the connection is ready. The completion (if any) is called once the
  // bytes were handed to the kernel, or with an error if they never will be.
  void send(std::string content, SendCompletion completion = {});
  void send(const Bytes& content, SendCompletion completion = {});

  State state() const { return state_; }

  // The PSK identity that authenticated the connection: on the server side
  // the identity the client presented and the listener knew, on the client
  // side its own. nullopt until ready.
  const std::optional<std::string>& identity() const { return identity_; }

  // On the server side, whether the client sent a TLS ClientHello, whatever
  // became of the handshake then; a port probe, or bytes of another
  // protocol, did not. False on the client side.
  bool sentClientHello() const;

 private:
  struct PendingReceive {
    std::size_t length;
    ReceiveCompletion completion;
  };
  struct PendingSend {
    std::string content;
    SendCompletion completion;
  };
  enum class Role { client, server };

  TlsConnection(Role role, std::shared_ptr<TlsContext> context);

  void setState(State state, const std::string& error = {});
  // Makes the client's TLS context and stream around the connected socket.
  void startClientHandshake();
  void startHandshake();
  void onHandshake(const std::error_code& ec);
  void fail(const std::string& error);
  void pumpReceive();
  void onRead(const std::error_code& ec, std::size_t count, ReceiveCompletion completion);
  void pumpSend();
  void onWrite(const std::error_code& ec, SendCompletion completion);
  // The error a receive or send gets once the connection is failed or
  // cancelled: the failure's text if it failed first.
  std::string finalError() const;
  void shutdownAndClose();
  void closeSocket();
  void completeQueuedReceives(const std::optional<std::string>& error);
  void completeQueuedSends(const std::string& error);

  Role role_;
  std::shared_ptr<TlsContext> context_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::optional<asio::ip::tcp::socket> acceptedSocket_;
  // A client's until its TCP connection stands.
  std::optional<Transport::Parameters> clientParameters_;
  std::unique_ptr<asio::ip::tcp::socket> socket_;

  std::optional<asio::any_io_executor> executor_;
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> stream_;
  std::unique_ptr<asio::ip::tcp::resolver> resolver_;
  std::unique_ptr<asio::steady_timer> timer_;

  State state_ = State::setup;
  StateHandler stateHandler_;
  std::optional<std::string> identity_;
  std::optional<std::string> clientIdentity_;
  std::optional<std::string> failure_;
  bool handshakeDone_ = false;
  bool closing_ = false;
  bool closed_ = false;
  bool finished_ = false;

  // Receives and sends not yet started; the one in flight is held by its
  // operation, its bytes here.
  std::deque<PendingReceive> receives_;
  bool reading_ = false;
  Bytes readBuffer_;

  std::deque<PendingSend> sends_;
  bool writing_ = false;
  std::string writeBuffer_;
};

}  // namespace tallowick
