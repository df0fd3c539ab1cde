#include "shared/transport.h"

#include <algorithm>
#include <exception>
#include <span>
#include <utility>

#include "shared/wire.h"

namespace tallowick::Transport {
namespace {

// The most a body read asks for at once: the buffer grows with what arrives.
constexpr std::size_t kBodyPiece = 64 * 1024;

// One running receive loop. It lives in the receive it has pending on the
// connection and holds the connection only weakly, so the two never keep
// each other alive: the connection keeps itself alive while that receive is
// under way, and an executor torn down without running it frees both.
class ReceiveLoop : public std::enable_shared_from_this<ReceiveLoop> {
 public:
  ReceiveLoop(const std::shared_ptr<TlsConnection>& connection, MessageHandler onMessage,
              CloseHandler onClose, FrameLimit limit)
      : connection_(connection),
        onMessage_(std::move(onMessage)),
        onClose_(std::move(onClose)),
        limit_(std::move(limit)) {}

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
      if (limit_ && *length > limit_()) return stop("frame too large");
      return readBody(*length);
    }
    if (isComplete) return stop(std::nullopt);
    stop("peer closed mid-frame");
  }

  void readBody(std::uint32_t length) {
    auto connection = connection_.lock();
    if (!connection) return stop(std::nullopt);
    const std::size_t piece = std::min<std::size_t>(length - body_.size(), kBodyPiece);
    connection->receive(piece, [self = shared_from_this(), length, piece](
                                   Bytes content, bool, std::optional<std::string> error) {
      self->onBody(content, length, piece, error);
    });
  }

  void onBody(const Bytes& content, std::uint32_t length, std::size_t piece,
              const std::optional<std::string>& error) {
    if (TlsConnection::isCancellation(error)) return stop(std::nullopt);
    if (error) return stop("receive body: " + *error);
    if (content.size() != piece) return stop("short frame");
    body_.insert(body_.end(), content.begin(), content.end());
    if (body_.size() < length) return readBody(length);
    std::optional<Message> message;
    try {
      message = Wire::decode(std::span(body_));
    } catch (const std::exception& e) {
      return stop(std::string("undecodable message: ") + e.what());
    }
    Bytes().swap(body_);  // a large frame's memory is not kept for the next
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
  FrameLimit limit_;
  Bytes body_;  // the frame's body as far as it has arrived
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
             CloseHandler onClose, FrameLimit limit) {
  std::make_shared<ReceiveLoop>(connection, std::move(onMessage), std::move(onClose),
                                std::move(limit))
      ->readHeader();
}

}  // namespace tallowick::Transport
