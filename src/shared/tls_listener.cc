#include "shared/tls_listener.h"

#include <utility>

#include "shared/tls_context.h"

namespace tallowick {
namespace {

// Pause after a failed accept (out of descriptors, say) before trying again,
// so that the loop does not spin.
constexpr std::chrono::milliseconds kAcceptRetry{100};

}  // namespace

std::shared_ptr<TlsListener> TlsListener::make(Transport::Parameters parameters, std::uint16_t port,
                                               std::string bindAddress) {
  return std::shared_ptr<TlsListener>(
      new TlsListener(TlsContext::make(TlsContext::Role::server, std::move(parameters)), port,
                      std::move(bindAddress)));
}

TlsListener::TlsListener(std::shared_ptr<TlsContext> context, std::uint16_t port,
                         std::string bindAddress)
    : context_(std::move(context)), requestedPort_(port), bindAddress_(std::move(bindAddress)) {}

TlsListener::~TlsListener() = default;

void TlsListener::setStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }

void TlsListener::setNewConnectionHandler(NewConnectionHandler handler) {
  newConnectionHandler_ = std::move(handler);
}

void TlsListener::setState(State state, const std::string& error) {
  state_ = state;
  if (!stateHandler_ || !executor_) return;
  StateHandler handler = stateHandler_;
  if (state == State::cancelled) {
    stateHandler_ = nullptr;
    newConnectionHandler_ = nullptr;
  }
  asio::post(*executor_, [handler = std::move(handler), state, error] { handler(state, error); });
}

void TlsListener::start(asio::any_io_executor executor) {
  if (state_ != State::setup) return;
  executor_ = executor;
  acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(executor);
  retryTimer_ = std::make_unique<asio::steady_timer>(executor);
  if (std::error_code ec = bind()) {
    std::error_code ignored;
    acceptor_->close(ignored);
    setState(State::failed, ec.message());
    return;
  }
  setState(State::ready);
  accept();
}

std::error_code TlsListener::bind() {
  std::error_code ec;
  asio::ip::tcp::endpoint endpoint;
  if (bindAddress_.empty()) {
    endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v6(), requestedPort_);
    acceptor_->open(endpoint.protocol(), ec);
    if (!ec) acceptor_->set_option(asio::ip::v6_only(false), ec);
    if (ec) {
      // No IPv6 on this host: IPv4 alone.
      std::error_code ignored;
      acceptor_->close(ignored);
      ec.clear();
      endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), requestedPort_);
      acceptor_->open(endpoint.protocol(), ec);
    }
  } else {
    asio::ip::address address = asio::ip::make_address(bindAddress_, ec);
    if (ec) return ec;
    endpoint = asio::ip::tcp::endpoint(address, requestedPort_);
    acceptor_->open(endpoint.protocol(), ec);
  }
  if (ec) return ec;
  // Lets a restarted listener take its port back from connections still in
  // TIME_WAIT; a port another socket listens on stays refused.
  acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
  if (ec) return ec;
  acceptor_->bind(endpoint, ec);
  if (ec) return ec;
  acceptor_->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return ec;
  port_ = acceptor_->local_endpoint(ec).port();
  return ec;
}

void TlsListener::accept() {
  acceptor_->async_accept(
      [self = shared_from_this()](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (self->state_ != State::ready) return;
        if (ec) {
          self->retryTimer_->expires_after(kAcceptRetry);
          self->retryTimer_->async_wait([self](const std::error_code& ec) {
            if (!ec && self->state_ == State::ready) self->accept();
          });
          return;
        }
        std::error_code ignored;
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        auto connection = TlsConnection::accepted(std::move(socket), self->context_);
        if (self->newConnectionHandler_) self->newConnectionHandler_(std::move(connection));
        if (self->state_ == State::ready) self->accept();
      });
}

void TlsListener::cancel() {
  if (state_ == State::cancelled) return;
  if (!executor_) {
    state_ = State::cancelled;
    stateHandler_ = nullptr;
    newConnectionHandler_ = nullptr;
    return;
  }
  setState(State::cancelled);
  std::error_code ignored;
  retryTimer_->cancel();
  acceptor_->close(ignored);
}

}  // namespace tallowick
