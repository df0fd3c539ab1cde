#pragma once

// Messages on a TLS connection, one per frame (see wire.h): sending one, and
// the loop that receives them until the stream ends.
//
// Both expect a connection the caller made (or its listener accepted) and
// started on its own executor; they never start, cancel or reconfigure it,
// and must be called on that executor.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "shared/credential.h"
#include "shared/message.h"
#include "shared/tls_connection.h"

namespace tallowick::Transport {

using MessageHandler = std::function<void(Message message)>;
// `reason` is absent when the peer finished the stream cleanly between
// frames or when the connection was cancelled on this side (the owner asked
// for that end and has said why, if it needed saying), else one of "receive header: <error>", "bad
// frame length", "frame too large", "peer closed mid-frame", "receive body: <error>", "short
// frame", "undecodable message: <description>".
using CloseHandler = std::function<void(std::optional<std::string> reason)>;
// The largest body the receiver takes now, asked before each frame; a
// larger announcement ends the loop with "frame too large".
using FrameLimit = std::function<std::uint32_t()>;

// Frames `message` and queues it as one send; frames of consecutive calls go
// out in call order. A message that cannot be framed (a body of 4 GiB or
// more) is dropped. The completion, if any, is called exactly once: at once
// for a dropped message, else when the connection has handled the bytes,
// whether or not that failed. Send errors are not reported: a broken
// connection shows in its receive loop.
void send(const Message& message, const std::shared_ptr<TlsConnection>& connection,
          std::function<void()> completion = {});

// Reads a 4-byte header and then exactly the body it announces (at most
// `limit()` bytes when a limit is given, else Wire::maxFrame), decodes it
// with a fresh decoder and hands the message to `onMessage`, one at a time in
// arrival order: the next header is asked for only after `onMessage`
// returns, so `onMessage` may send. Ends exactly once by calling `onClose`,
// after which neither callback is called again, and does not cancel the
// connection (the caller does, typically from `onClose`). The loop lives in
// the receive it has pending on the connection and holds the connection
// weakly: the connection keeps itself, and so the loop and both callbacks,
// alive while that receive is under way, and nothing of them is left once
// the loop ended or the connection's executor was torn down. A body is read
// a piece at a time: what it holds in memory is what the peer has sent, not
// what its header announced.
// REQUIRES: onMessage and onClose are callable.
void receive(std::shared_ptr<TlsConnection> connection, MessageHandler onMessage,
             CloseHandler onClose, FrameLimit limit = {});

}  // namespace tallowick::Transport
