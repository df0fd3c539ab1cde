#pragma once
// What `tallowick phone` prints for people: the agent's replies as readable
// lines instead of JSON, file names escaped.

#include <string>

#include "shared/card_text.h"
#include "shared/cards.h"
#include "shared/message.h"
#include "shared/report.h"

namespace tallowick::cli {

// One line for a file card (name, folder, size, reasons); for a group a
// line and then one indented line per member, the one that stays marked
// "keep". Every line ends in "\n".
std::string cardText(const Card& card);

// The reply as lines for people (each ending in "\n"); empty for a message
// that says nothing to them.
std::string replyText(const Message& reply);

// The reply's JSON line (without "\n"). Inline thumbnails are left out
// unless `thumbs`: a line of a hundred kilobytes helps nobody reading it.
std::string replyJson(const Message& reply, bool thumbs);

}  // namespace tallowick::cli
