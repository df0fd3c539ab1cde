#include "shared/tls_connection.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include <openssl/ssl.h>

#include "shared/tls_context.h"

namespace tallowick {
namespace {

// How long cancel() waits for the close_notify to be written before it
// closes the socket anyway (a peer that reads nothing must not keep it open).
constexpr std::chrono::seconds kCloseTimeout{2};
// How long cancel() lets queued sends drain before the close_notify.
constexpr std::chrono::seconds kDrainTimeout{10};

// The text of every receive or send that cancel() cut short, the same as the
// one the socket reports for an operation in flight.
const std::string& canceledText() {
  // Never destroyed: a server whose last owner let go inside one of its own
  // handlers is destroyed on its queue thread, which may still be cancelling
  // connections while the process runs its exit handlers.
  static const std::string* const text =
      new std::string(std::generic_category().message(ECANCELED));
  return *text;
}

bool isFinal(TlsConnection::State state) {
  return state == TlsConnection::State::failed || state == TlsConnection::State::cancelled;
}

}  // namespace

std::shared_ptr<TlsConnection> TlsConnection::make(std::string host, std::uint16_t port,
                                                   Transport::Parameters parameters) {
  // The TLS context is made once TCP stands: nothing of OpenSSL is loaded
  // or set up for an address where nothing answers.
  std::shared_ptr<TlsConnection> connection(new TlsConnection(Role::client, nullptr));
  connection->host_ = std::move(host);
  connection->port_ = port;
  connection->clientParameters_ = std::move(parameters);
  return connection;
}

std::shared_ptr<TlsConnection> TlsConnection::accepted(asio::ip::tcp::socket socket,
                                                       std::shared_ptr<TlsContext> context) {
  std::shared_ptr<TlsConnection> connection(new TlsConnection(Role::server, std::move(context)));
  connection->acceptedSocket_.emplace(std::move(socket));
  return connection;
}

TlsConnection::TlsConnection(Role role, std::shared_ptr<TlsContext> context)
    : role_(role), context_(std::move(context)) {}

TlsConnection::~TlsConnection() = default;

void TlsConnection::setStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }

void TlsConnection::setState(State state, const std::string& error) {
  state_ = state;
  if (!stateHandler_ || !executor_) return;
  // Delivered through the executor so that a handler never runs inside the
  // caller's own call (cancel() from a handler, for one).
  StateHandler handler = stateHandler_;
  if (state == State::cancelled) stateHandler_ = nullptr;
  asio::post(*executor_, [handler = std::move(handler), state, error] { handler(state, error); });
}

void TlsConnection::start(asio::any_io_executor executor) {
  if (state_ != State::setup) return;
  executor_ = executor;
  timer_ = std::make_unique<asio::steady_timer>(executor);
  setState(State::preparing);

  auto self = shared_from_this();
  timer_->expires_after(kHandshakeTimeout);
  timer_->async_wait([self](const std::error_code& ec) {
    if (!ec && self->state_ == State::preparing) self->fail("handshake timed out");
  });

  if (role_ == Role::server) {
    stream_ =
        std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(executor, context_->context());
    // The listener accepted the socket on its own io_context; move the
    // descriptor onto the executor the owner chose.
    std::error_code ec;
    auto protocol = acceptedSocket_->local_endpoint(ec).protocol();
    if (!ec) {
      auto fd = acceptedSocket_->release(ec);
      if (!ec) stream_->next_layer().assign(protocol, fd, ec);
    }
    acceptedSocket_.reset();
    if (ec) {
      fail(ec.message());
      return;
    }
    startHandshake();
    return;
  }

  socket_ = std::make_unique<asio::ip::tcp::socket>(executor);
  resolver_ = std::make_unique<asio::ip::tcp::resolver>(executor);
  resolver_->async_resolve(
      host_, std::to_string(port_),
      [self](const std::error_code& ec, asio::ip::tcp::resolver::results_type results) {
        if (self->state_ != State::preparing) return;
        if (ec) {
          self->fail(ec.message());
          return;
        }
        asio::async_connect(*self->socket_, results,
                            [self](const std::error_code& ec, const asio::ip::tcp::endpoint&) {
                              if (self->state_ != State::preparing) return;
                              if (ec) {
                                self->fail(ec.message());
                                return;
                              }
                              self->startClientHandshake();
                            });
      });
}

void TlsConnection::startClientHandshake() {
  Transport::Parameters parameters = std::move(*clientParameters_);
  clientParameters_.reset();
  if (parameters.source) parameters.credentials = parameters.source();
  if (!parameters.credentials.empty()) clientIdentity_ = parameters.credentials.front().identity;
  context_ = TlsContext::make(TlsContext::Role::client, std::move(parameters));
  stream_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(std::move(*socket_),
                                                                       context_->context());
  socket_.reset();
  startHandshake();
}

void TlsConnection::startHandshake() {
  std::error_code ignored;
  stream_->next_layer().set_option(asio::ip::tcp::no_delay(true), ignored);
  auto type =
      role_ == Role::server ? asio::ssl::stream_base::server : asio::ssl::stream_base::client;
  stream_->async_handshake(
      type, [self = shared_from_this()](const std::error_code& ec) { self->onHandshake(ec); });
}

void TlsConnection::onHandshake(const std::error_code& ec) {
  if (state_ != State::preparing) return;
  if (ec) {
    fail(ec.message());
    return;
  }
  handshakeDone_ = true;
  timer_->cancel();
  identity_ = role_ == Role::server ? TlsContext::matchedIdentity(stream_->native_handle())
                                    : clientIdentity_;
  if (!identity_) {
    // A TLS 1.3 handshake without a certificate can only succeed with one of
    // our keys; refuse anything else rather than report an unknown peer.
    fail("handshake completed without a pre-shared key");
    return;
  }
  setState(State::ready);
  pumpReceive();
  pumpSend();
}

bool TlsConnection::sentClientHello() const {
  return role_ == Role::server && stream_ && TlsContext::sawClientHello(stream_->native_handle());
}

bool TlsConnection::isCancellation(const std::optional<std::string>& error) {
  return error == canceledText();
}

std::string TlsConnection::finalError() const { return failure_.value_or(canceledText()); }

void TlsConnection::fail(const std::string& error) {
  if (isFinal(state_)) return;
  failure_ = error;
  setState(State::failed, error);
  closeSocket();
  completeQueuedReceives(error);
  completeQueuedSends(error);
}

void TlsConnection::cancel() {
  if (state_ == State::cancelled) return;
  State previous = state_;
  if (!executor_) {
    // Never started: nothing runs on any executor yet.
    state_ = State::cancelled;
    stateHandler_ = nullptr;
    acceptedSocket_.reset();
    auto receives = std::move(receives_);
    auto sends = std::move(sends_);
    for (auto& pending : receives) pending.completion({}, false, canceledText());
    for (auto& pending : sends) {
      if (pending.completion) pending.completion(canceledText());
    }
    return;
  }
  setState(State::cancelled);
  completeQueuedReceives(canceledText());
  if (previous == State::ready) {
    // Let queued sends go out first, but not for ever.
    closing_ = true;
    auto self = shared_from_this();
    timer_->expires_after(kDrainTimeout);
    timer_->async_wait([self](const std::error_code& ec) {
      if (!ec) self->closeSocket();
    });
    if (!writing_) shutdownAndClose();
    return;
  }
  completeQueuedSends(canceledText());
  closeSocket();
}

void TlsConnection::receive(std::size_t length, ReceiveCompletion completion) {
  if (length == 0 || isFinal(state_) || finished_) {
    std::optional<std::string> error;
    bool complete = false;
    if (isFinal(state_)) {
      error = finalError();
    } else if (finished_) {
      complete = true;
    }
    if (executor_) {
      asio::post(*executor_, [completion = std::move(completion), complete, error] {
        completion({}, complete, error);
      });
    } else {
      completion({}, complete, error);
    }
    return;
  }
  receives_.push_back({length, std::move(completion)});
  pumpReceive();
}

void TlsConnection::pumpReceive() {
  if (reading_ || receives_.empty() || state_ != State::ready) return;
  reading_ = true;
  // The completion travels with the read rather than staying in receives_:
  // whatever it holds is released when the read completes, or when the
  // executor drops the read without running it.
  PendingReceive pending = std::move(receives_.front());
  receives_.pop_front();
  readBuffer_ = Bytes(pending.length);
  asio::async_read(*stream_, asio::buffer(readBuffer_),
                   [self = shared_from_this(), completion = std::move(pending.completion)](
                       const std::error_code& ec, std::size_t count) mutable {
                     self->onRead(ec, count, std::move(completion));
                   });
}

void TlsConnection::onRead(const std::error_code& ec, std::size_t count,
                           ReceiveCompletion completion) {
  reading_ = false;
  Bytes content = std::move(readBuffer_);
  readBuffer_ = Bytes();
  content.resize(count);

  if (isFinal(state_)) {
    completion(std::move(content), false, finalError());
    return;
  }
  if (ec == asio::error::eof) {
    finished_ = true;
    completion(std::move(content), true, std::nullopt);
    completeQueuedReceives(std::nullopt);
    return;
  }
  if (ec) {
    std::string text = ec.message();
    completion(std::move(content), false, text);
    fail(text);
    return;
  }
  completion(std::move(content), false, std::nullopt);
  pumpReceive();
}

void TlsConnection::send(const Bytes& content, SendCompletion completion) {
  send(std::string(content.begin(), content.end()), std::move(completion));
}

void TlsConnection::send(std::string content, SendCompletion completion) {
  if (isFinal(state_) || closing_) {
    if (!completion) return;
    std::string error = finalError();
    if (executor_) {
      asio::post(*executor_, [completion = std::move(completion), error] { completion(error); });
    } else {
      completion(error);
    }
    return;
  }
  sends_.push_back({std::move(content), std::move(completion)});
  pumpSend();
}

void TlsConnection::pumpSend() {
  if (writing_ || sends_.empty()) return;
  if (state_ != State::ready && !(closing_ && !closed_)) return;
  writing_ = true;
  // As for reads, the completion travels with the write.
  PendingSend pending = std::move(sends_.front());
  sends_.pop_front();
  writeBuffer_ = std::move(pending.content);
  asio::async_write(*stream_, asio::buffer(writeBuffer_),
                    [self = shared_from_this(), completion = std::move(pending.completion)](
                        const std::error_code& ec, std::size_t) mutable {
                      self->onWrite(ec, std::move(completion));
                    });
}

void TlsConnection::onWrite(const std::error_code& ec, SendCompletion completion) {
  writing_ = false;
  writeBuffer_ = std::string();
  std::optional<std::string> error;
  if (ec) error = ec.message();
  if (completion) completion(error);
  if (ec) {
    if (closing_) {
      completeQueuedSends(*error);
      closeSocket();
    } else {
      fail(*error);
    }
    return;
  }
  if (closing_ && sends_.empty()) {
    shutdownAndClose();
    return;
  }
  pumpSend();
}

void TlsConnection::shutdownAndClose() {
  if (closed_) return;
  // A one-way close: send our close_notify and close without waiting for the
  // peer's, which may never come.
  SSL_set_shutdown(stream_->native_handle(), SSL_RECEIVED_SHUTDOWN);
  auto self = shared_from_this();
  timer_->expires_after(kCloseTimeout);
  timer_->async_wait([self](const std::error_code& ec) {
    if (!ec) self->closeSocket();
  });
  stream_->async_shutdown([self](const std::error_code&) { self->closeSocket(); });
}

void TlsConnection::closeSocket() {
  if (closed_) return;
  closed_ = true;
  std::error_code ignored;
  if (timer_) timer_->cancel();
  if (resolver_) resolver_->cancel();
  if (socket_) socket_->close(ignored);
  if (stream_) stream_->next_layer().close(ignored);
}

void TlsConnection::completeQueuedReceives(const std::optional<std::string>& error) {
  // The receive in flight completes from its own handler when the socket
  // closes; these are the ones behind it.
  bool complete = !error.has_value();
  std::deque<PendingReceive> receives = std::move(receives_);
  receives_.clear();
  for (PendingReceive& pending : receives) {
    asio::post(*executor_, [completion = std::move(pending.completion), complete, error] {
      completion({}, complete, error);
    });
  }
}

void TlsConnection::completeQueuedSends(const std::string& error) {
  std::deque<PendingSend> sends = std::move(sends_);
  sends_.clear();
  for (PendingSend& pending : sends) {
    if (!pending.completion) continue;
    asio::post(*executor_,
               [completion = std::move(pending.completion), error] { completion(error); });
  }
}

}  // namespace tallowick
