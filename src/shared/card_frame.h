#pragma once

// Frames of the messages that carry cards (queueBatch, stagedBatch,
// cardUpdated), written straight from the cards into the frame: no Json
// value is built, and a thumbnail's Base64 text can come from elsewhere (a
// cache of encoded files) instead of the card. A batch of photos is
// megabytes of such text, so this is what a phone waits for after a
// deckNext.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "shared/cards.h"
#include "shared/message.h"

namespace tallowick::Wire {

// The Base64 text of the thumbnail of a file card that carries none, or
// null for a card that goes without one.
using ThumbText = std::function<std::shared_ptr<const std::string>(const FileCard&)>;

// The same bytes as encode(message) would give if every file card without a
// thumb (a group's members included) carried the thumbnail `thumbText`
// names for it. Messages other than the three above are encoded as
// encode() does. No value when the body is 4 GiB or more.
// REQUIRES: thumbText gives only Base64 text (standard alphabet, padded).
std::optional<std::string> encodeCards(const Message& message, const ThumbText& thumbText);

}  // namespace tallowick::Wire
