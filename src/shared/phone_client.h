#pragma once

// The phone's side of a connection to the agent, with a blocking API for
// tests and the command line: connect with one credential, complete TLS and
// the hello handshake, then send requests and wait for replies.
//
// The client runs its own io_context on its own thread; every public call
// blocks the caller until it has an answer or its timeout passes. Messages
// that arrive while nobody waits are queued in arrival order and handed out
// by later receive() and request() calls. An owner that must never block
// (a window) calls listen() after connect() instead, and has every message
// handed to it as it arrives.
//
// Threading: one PhoneClient is used from one thread at a time; send() and
// close() may also be called while another thread is in connect().

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <asio.hpp>

#include "shared/credential.h"
#include "shared/message.h"
#include "shared/pairing_payload.h"
#include "shared/tls_connection.h"

namespace tallowick {

class PhoneClient {
 public:
  // What the phone presents: the TLS credential and the device ID it claims
  // in its hello (empty when pairing with the code). The hello proof is
  // PSK::proof(credential.key, deviceID).
  struct Login {
    Transport::Credential credential;
    std::string deviceID;

    // Identity "tallowick" with the key derived from the six-digit code.
    static Login code(const std::string& code);
    // A paired phone, or the offer of a QR payload: identity = device ID.
    static Login device(std::string deviceID, Bytes key);
    // The offer a QR payload carries; no value when its key is not usable.
    static std::optional<Login> payload(const PairingPayload& payload);
  };

  struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
  };

  // The outcome of a wait: a message, or why there is none.
  struct Received {
    enum class Status { message, timeout, closed };
    Status status = Status::timeout;
    std::optional<Message> message;
    // For closed: why the connection ended, as one line of text.
    std::string error;

    bool ok() const { return status == Status::message; }
  };

  using Predicate = std::function<bool(const Message&)>;

  PhoneClient();
  // Cancels the connection and joins the client's thread.
  ~PhoneClient();
  PhoneClient(const PhoneClient&) = delete;
  PhoneClient& operator=(const PhoneClient&) = delete;

  // Connects to `endpoint`, completes TLS with `login`, sends hello(name,
  // deviceID, proof) and waits for the agent's hello. On success the result
  // holds that hello. The agent refusing the hello closes the connection,
  // which gives closed; so does a TLS handshake the agent refused (a wrong
  // code or key). `timeout` bounds the whole exchange.
  // REQUIRES: called once.
  Received connect(const Endpoint& endpoint, const Login& login, const std::string& name,
                   std::chrono::milliseconds timeout);
  // The same with the login worked out, on the client's thread, only once
  // the TCP connection stands: a code's key is derived then, so a command
  // aimed where nothing answers never loads the crypto library.
  // REQUIRES: `login` is callable; called once, instead of the above.
  Received connect(const Endpoint& endpoint, std::function<Login()> login, const std::string& name,
                   std::chrono::milliseconds timeout);

  // Queues `message` for sending. False when the connection is not greeted
  // or has ended.
  bool send(const Message& message);

  // The next message that arrived, waiting up to `timeout` for one.
  Received receive(std::chrono::milliseconds timeout);

  // The first message for which `awaited` holds, waiting up to `timeout`
  // after the last message that arrived (so a long stream of progress does
  // not time out). Messages for which it does not hold are handed to
  // `onOther` when given, else dropped.
  Received receiveUntil(const Predicate& awaited, std::chrono::milliseconds timeout,
                        const std::function<void(const Message&)>& onOther = {});

  // send() then receiveUntil(). A message that could not be sent gives
  // closed.
  Received request(const Message& message, const Predicate& awaited,
                   std::chrono::milliseconds timeout,
                   const std::function<void(const Message&)>& onOther = {});

  // From now on hands every message, in arrival order (those queued first),
  // to `onMessage`, and the reason to `onEnded` once the connection ends by
  // the agent or a failure (not by close()). Both run on the client's own
  // thread and must not block it. receive() and request() then find
  // nothing. REQUIRES: connect() succeeded; called once.
  void listen(std::function<void(Message)> onMessage,
              std::function<void(const std::string&)> onEnded);

  // Ends the connection after the queued sends have been written. Idempotent.
  void close();

  // True once the connection ended (the agent closed it, it failed, or
  // close() was called).
  bool closed() const;

 private:
  // Called on the client's thread.
  void onState(TlsConnection::State state, const std::string& error);
  void onMessage(Message message);
  void onClose(std::optional<std::string> reason);
  void endWith(const std::string& error);
  // Hands the queued messages to the listener. On the client's thread.
  void deliver();

  Received waitForMessage(std::unique_lock<std::mutex>& lock,
                          std::chrono::steady_clock::time_point deadline);

  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread thread_;
  std::shared_ptr<TlsConnection> connection_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Message> agentHello_;
  std::deque<Message> inbox_;
  bool tlsReady_ = false;
  bool greeted_ = false;
  bool ended_ = false;
  std::string endError_;
  std::function<void(Message)> onMessage_;
  std::function<void(const std::string&)> onEnded_;
};

}  // namespace tallowick
