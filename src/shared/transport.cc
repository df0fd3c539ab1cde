#include "shared/transport.h"

#include <exception>
#include <span>
#include <utility>

#include "shared/wire.h"

namespace tallowick::Transport {
namespace {

// One running receive loop. It lives in the receive it has pending on the
// connection and holds the connection only weakly, so the two never keep
// each other alive: the connection keeps itself alive while that receive is
// under way, and an executor torn down without running it frees both.
class ReceiveLoop : public std::enable_shared_from_this<ReceiveLoop> {
 public:
  ReceiveLoop(const std::shared_ptr<TlsConnection>& connection, MessageHandler onMessage,
              CloseHandler onClose)
      : connection_(connection), onMessage_(std::move(onMessage)), onClose_(std::move(onClose)) {}

  void readHeader() {
    auto connection = connection_.lock();
    // Only a connection that completed this loop's last receive asks for
    // more, and it is alive while it does; gone, there is nothing to read.
    if (!connection) return stop(std::nullopt);
    connection->receive(Wire::kHeaderSize,
                        [self = shared_from_this()](Bytes content, bool isComplete,
                                                    std::optional<std::string> error) {
                          self->onHeader(content, isComplete, error);
                        });
  }

 private:
  void onHeader(const Bytes& content, bool isComplete, const std::optional<std::string>& error) {
    // The owner cancelled the connection: that is the owner's decision, not
    // a transport failure, so the loop ends without a reason.
    if (TlsConnection::isCancellation(error)) return stop(std::nullopt);
    if (error) return stop("receive header: " + *error);
    if (!content.empty()) {
      std::optional<std::uint32_t> length = Wire::frameLength(std::span(content));
      if (!length) return stop("bad frame length");
      return readBody(*length);
    }
    if (isComplete) return stop(std::nullopt);
    stop("peer closed mid-frame");
  }

  void readBody(std::uint32_t length) {
    auto connection = connection_.lock();
    if (!connection) return stop(std::nullopt);
    connection->receive(length, [self = shared_from_this(), length](
                                    Bytes content, bool, std::optional<std::string> error) {
      self->onBody(content, length, error);
    });
  }

  void onBody(const Bytes& content, std::uint32_t length, const std::optional<std::string>& error) {
    if (TlsConnection::isCancellation(error)) return stop(std::nullopt);
    if (error) return stop("receive body: " + *error);
    if (content.empty() || content.size() != length) return stop("short frame");
    std::optional<Message> message;
    try {
      message = Wire::decode(std::span(content));
    } catch (const std::exception& e) {
      return stop(std::string("undecodable message: ") + e.what());
    }
    onMessage_(std::move(*message));
    readHeader();
  }

  void stop(std::optional<std::string> reason) {
    // Release the callbacks before calling out, so that whatever they hold
    // goes as soon as the caller lets go of it.
    CloseHandler onClose = std::move(onClose_);
    onMessage_ = nullptr;
    if (onClose) onClose(std::move(reason));
  }

  std::weak_ptr<TlsConnection> connection_;
  MessageHandler onMessage_;
  CloseHandler onClose_;
};

}  // namespace

void send(const Message& message, const std::shared_ptr<TlsConnection>& connection,
          std::function<void()> completion) {
  std::optional<std::string> frame = Wire::encode(message);
  if (!frame) {
    if (completion) completion();
    return;
  }
  TlsConnection::SendCompletion done;
  if (completion) {
    done = [completion = std::move(completion)](const std::optional<std::string>&) {
      completion();
    };
  }
  connection->send(std::move(*frame), std::move(done));
}

void receive(std::shared_ptr<TlsConnection> connection, MessageHandler onMessage,
             CloseHandler onClose) {
  std::make_shared<ReceiveLoop>(connection, std::move(onMessage), std::move(onClose))->readHeader();
}

}  // namespace tallowick::Transport
