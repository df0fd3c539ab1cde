#include "shared/phone_client.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "shared/psk.h"
#include "shared/transport.h"

namespace tallowick {

PhoneClient::Login PhoneClient::Login::code(const std::string& code) {
  return Login{Transport::Credential::pairing(code), ""};
}

PhoneClient::Login PhoneClient::Login::device(std::string deviceID, Bytes key) {
  return Login{Transport::Credential{deviceID, std::move(key)}, deviceID};
}

std::optional<PhoneClient::Login> PhoneClient::Login::payload(const PairingPayload& payload) {
  auto key = payload.keyData();
  if (!key || key->size() != PSK::keyLength || payload.id.empty()) return std::nullopt;
  return device(payload.id, std::move(*key));
}

PhoneClient::PhoneClient() : work_(asio::make_work_guard(io_)) {
  thread_ = std::thread([this] { io_.run(); });
}

PhoneClient::~PhoneClient() {
  close();
  // The connection's loops end once it is cancelled; then the io_context
  // runs out of work and the thread returns.
  work_.reset();
  thread_.join();
}

PhoneClient::Received PhoneClient::connect(const Endpoint& endpoint, const Login& login,
                                           const std::string& name,
                                           std::chrono::milliseconds timeout) {
  return connect(
      endpoint, [login] { return login; }, name, timeout);
}

PhoneClient::Received PhoneClient::connect(const Endpoint& endpoint, std::function<Login()> login,
                                           const std::string& name,
                                           std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  // Both the TLS credential and the hello come from the login, worked out
  // once on the client's thread.
  auto worked = std::make_shared<std::optional<Login>>();
  auto loginNow = [worked, login = std::move(login)]() -> const Login& {
    if (!*worked) *worked = login();
    return **worked;
  };
  Transport::Parameters parameters;
  parameters.source = [loginNow] {
    return std::vector<Transport::Credential>{loginNow().credential};
  };
  auto connection = TlsConnection::make(endpoint.host, endpoint.port, std::move(parameters));
  connection->setStateHandler([this, loginNow, name, weak = std::weak_ptr(connection)](
                                  TlsConnection::State state, const std::string& error) {
    auto connection = weak.lock();
    if (state == TlsConnection::State::ready && connection) {
      const Login& login = loginNow();
      Transport::send(
          Message::Hello{name, login.deviceID, PSK::proof(login.credential.key, login.deviceID)},
          connection);
    }
    onState(state, error);
  });
  {
    std::lock_guard lock(mutex_);
    connection_ = connection;
  }
  asio::post(io_, [this, connection] {
    connection->start(io_.get_executor());
    Transport::receive(
        connection, [this](Message message) { onMessage(std::move(message)); },
        [this](std::optional<std::string> reason) { onClose(std::move(reason)); });
  });

  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [&] { return greeted_ || ended_; });
  if (greeted_) {
    Received result;
    result.status = Received::Status::message;
    result.message = std::move(agentHello_);
    return result;
  }
  Received result;
  if (ended_) {
    result.status = Received::Status::closed;
    if (!tlsReady_) {
      // A refused connection is no news about the code: nothing listens there.
      const bool nobody = endError_ == std::system_category().message(ECONNREFUSED);
      result.error =
          nobody ? "nothing answers at " + endpoint.host + " port " +
                       std::to_string(endpoint.port) + " (connection refused)"
                 : "wrong code or key: the agent refused the TLS handshake (" + endError_ + ")";
    } else {
      result.error = "the agent refused the hello: " + endError_;
    }
    return result;
  }
  lock.unlock();
  close();
  result.status = Received::Status::timeout;
  result.error =
      tlsReady_ ? "no hello from the agent in time" : "no TLS connection to the agent in time";
  return result;
}

bool PhoneClient::send(const Message& message) {
  std::shared_ptr<TlsConnection> connection;
  {
    std::lock_guard lock(mutex_);
    if (!greeted_ || ended_) return false;
    connection = connection_;
  }
  asio::post(io_, [connection, message] { Transport::send(message, connection); });
  return true;
}

PhoneClient::Received PhoneClient::receive(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return waitForMessage(lock, std::chrono::steady_clock::now() + timeout);
}

PhoneClient::Received PhoneClient::receiveUntil(
    const Predicate& awaited, std::chrono::milliseconds timeout,
    const std::function<void(const Message&)>& onOther) {
  for (;;) {
    Received received = receive(timeout);
    if (!received.ok() || awaited(*received.message)) return received;
    if (onOther) onOther(*received.message);
  }
}

PhoneClient::Received PhoneClient::request(const Message& message, const Predicate& awaited,
                                           std::chrono::milliseconds timeout,
                                           const std::function<void(const Message&)>& onOther) {
  if (!send(message)) {
    std::lock_guard lock(mutex_);
    Received result;
    result.status = Received::Status::closed;
    result.error = ended_ ? endError_ : "not connected";
    return result;
  }
  return receiveUntil(awaited, timeout, onOther);
}

void PhoneClient::listen(std::function<void(Message)> onMessage,
                         std::function<void(const std::string&)> onEnded) {
  {
    std::lock_guard lock(mutex_);
    onMessage_ = std::move(onMessage);
    onEnded_ = std::move(onEnded);
  }
  // Delivered on the client's thread, behind anything already queued there,
  // so no later message overtakes the ones waiting in the inbox.
  asio::post(io_, [this] { deliver(); });
}

void PhoneClient::deliver() {
  std::deque<Message> ready;
  std::function<void(Message)> handler;
  {
    std::lock_guard lock(mutex_);
    if (!onMessage_) return;
    ready.swap(inbox_);
    handler = onMessage_;
  }
  for (Message& message : ready) handler(std::move(message));
}

void PhoneClient::close() {
  std::shared_ptr<TlsConnection> connection;
  {
    std::lock_guard lock(mutex_);
    if (!ended_) {
      ended_ = true;
      endError_ = "connection closed by the phone";
    }
    connection = connection_;
  }
  changed_.notify_all();
  if (connection) asio::post(io_, [connection] { connection->cancel(); });
}

bool PhoneClient::closed() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

void PhoneClient::onState(TlsConnection::State state, const std::string& error) {
  switch (state) {
    case TlsConnection::State::ready: {
      std::lock_guard lock(mutex_);
      tlsReady_ = true;
      break;
    }
    case TlsConnection::State::failed:
      endWith(error.empty() ? "connection failed" : error);
      break;
    case TlsConnection::State::cancelled:
      endWith("connection closed");
      break;
    default:
      break;
  }
}

void PhoneClient::onMessage(Message message) {
  {
    std::lock_guard lock(mutex_);
    if (!greeted_) {
      if (message.is<Message::Hello>()) {
        greeted_ = true;
        agentHello_ = std::move(message);
      }
      // Anything else before the agent's hello is not part of the protocol.
    } else {
      inbox_.push_back(std::move(message));
    }
  }
  changed_.notify_all();
  deliver();
}

void PhoneClient::onClose(std::optional<std::string> reason) {
  endWith(reason ? *reason : "the agent closed the connection");
  std::shared_ptr<TlsConnection> connection;
  {
    std::lock_guard lock(mutex_);
    connection = connection_;
  }
  // The receive loop never cancels its connection; a clean finish by the
  // agent would otherwise leave it open.
  if (connection) connection->cancel();
}

void PhoneClient::endWith(const std::string& error) {
  std::function<void(const std::string&)> onEnded;
  {
    std::lock_guard lock(mutex_);
    if (!ended_) {
      ended_ = true;
      endError_ = error;
      onEnded = onEnded_;
    }
  }
  changed_.notify_all();
  if (onEnded) onEnded(error);
}

PhoneClient::Received PhoneClient::waitForMessage(std::unique_lock<std::mutex>& lock,
                                                  std::chrono::steady_clock::time_point deadline) {
  changed_.wait_until(lock, deadline, [&] { return !inbox_.empty() || ended_; });
  Received result;
  if (!inbox_.empty()) {
    result.status = Received::Status::message;
    result.message = std::move(inbox_.front());
    inbox_.pop_front();
  } else if (ended_) {
    result.status = Received::Status::closed;
    result.error = endError_;
  } else {
    result.status = Received::Status::timeout;
    result.error = "no reply from the agent in time";
  }
  return result;
}

}  // namespace tallowick
