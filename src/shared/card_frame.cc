#include "shared/card_frame.h"

#include <span>
#include <vector>

#include "shared/wire.h"

namespace tallowick::Wire {

namespace {

using codec::appendDate;
using codec::appendDouble;
using codec::appendInteger;
using codec::appendString;

// Room for a file card's members other than its thumbnail and its three
// texts; a guess that only decides how often the frame grows.
constexpr std::size_t kFileCardRoom = 400;

// Writes cards as dumpCompact writes their Json: members in the order of
// their names (nlohmann keeps object keys sorted), optionals left out.
class CardWriter {
 public:
  CardWriter(std::string& out, std::span<const std::shared_ptr<const std::string>> thumbs)
      : out_(out), thumbs_(thumbs) {}

  void card(const Card& card) {
    if (const FileCard* file = card.file()) {
      out_.append(R"({"file":{"_0":)");
      fileCard(*file);
    } else {
      out_.append(R"({"group":{"_0":)");
      groupCard(*card.group());
    }
    out_.append("}}");
  }

 private:
  void key(std::string_view name) {
    out_.push_back('"');
    out_.append(name);
    out_.append("\":");
  }
  // Every member after the first.
  void nextKey(std::string_view name) {
    out_.push_back(',');
    key(name);
  }
  void uuid(const Uuid& id) {
    const std::array<char, 36> text = id.chars();
    out_.push_back('"');
    out_.append(text.data(), text.size());
    out_.push_back('"');
  }
  template <class E>
  void raw(E value) {
    appendString(out_, rawValue(value));
  }

  void fileCard(const FileCard& card) {
    out_.push_back('{');
    key("bytes");
    appendInteger(out_, card.bytes);
    if (card.createdAt) {
      nextKey("createdAt");
      appendDate(out_, *card.createdAt);
    }
    nextKey("folder");
    appendString(out_, card.folder);
    if (card.height) {
      nextKey("height");
      appendInteger(out_, *card.height);
    }
    nextKey("id");
    uuid(card.id);
    nextKey("isCloud");
    out_.append(card.isCloud ? "true" : "false");
    nextKey("kind");
    raw(card.kind);
    if (card.lastOpenedAt) {
      nextKey("lastOpenedAt");
      appendDate(out_, *card.lastOpenedAt);
    }
    nextKey("name");
    appendString(out_, card.name);
    nextKey("path");
    appendString(out_, card.path);
    nextKey("reasons");
    out_.push_back('[');
    for (std::size_t i = 0; i < card.reasons.size(); ++i) {
      if (i > 0) out_.push_back(',');
      raw(card.reasons[i]);
    }
    out_.push_back(']');
    nextKey("score");
    appendDouble(out_, card.score);
    if (card.thumb) {
      nextKey("thumb");
      out_.push_back('"');
      codec::appendBase64(out_, card.thumb->data(), card.thumb->size());
      out_.push_back('"');
    } else if (const std::shared_ptr<const std::string>& text = thumbs_[nextThumb_++]) {
      nextKey("thumb");
      out_.push_back('"');
      out_.append(*text);
      out_.push_back('"');
    }
    if (card.width) {
      nextKey("width");
      appendInteger(out_, *card.width);
    }
    out_.push_back('}');
  }

  void groupCard(const GroupCard& card) {
    out_.push_back('{');
    key("id");
    uuid(card.id);
    nextKey("keeperID");
    uuid(card.keeperID);
    nextKey("members");
    out_.push_back('[');
    for (std::size_t i = 0; i < card.members.size(); ++i) {
      if (i > 0) out_.push_back(',');
      fileCard(card.members[i]);
    }
    out_.push_back(']');
    nextKey("reclaimable");
    appendInteger(out_, card.reclaimable);
    nextKey("score");
    appendDouble(out_, card.score);
    nextKey("type");
    raw(card.type);
    out_.push_back('}');
  }

  std::string& out_;
  // The texts of the file cards without a thumb of their own, in the order
  // they are written.
  std::span<const std::shared_ptr<const std::string>> thumbs_;
  std::size_t nextThumb_ = 0;
};

// Calls `fn` on every file card, a group's members in order, as the writer
// meets them.
template <class Fn>
void forEachFileCard(std::span<const Card> cards, Fn&& fn) {
  for (const Card& card : cards) {
    if (const FileCard* file = card.file()) {
      fn(*file);
    } else {
      for (const FileCard& member : card.group()->members) fn(member);
    }
  }
}

}  // namespace

std::optional<std::string> encodeCards(const Message& message, const ThumbText& thumbText) {
  std::span<const Card> cards;
  bool single = false;
  if (const auto* batch = message.get<Message::QueueBatch>()) {
    cards = batch->cards;
  } else if (const auto* staged = message.get<Message::StagedBatch>()) {
    cards = staged->cards;
  } else if (const auto* updated = message.get<Message::CardUpdated>()) {
    cards = std::span(&updated->card, 1);
    single = true;
  } else {
    return encode(message);
  }

  // The texts first, so the frame is sized once for all of them.
  std::vector<std::shared_ptr<const std::string>> thumbs;
  std::size_t room = 64;
  forEachFileCard(cards, [&](const FileCard& card) {
    room += kFileCardRoom + card.name.size() + card.path.size() + card.folder.size();
    if (card.thumb) {
      room += (card.thumb->size() + 2) / 3 * 4;
    } else {
      thumbs.push_back(thumbText ? thumbText(card) : nullptr);
      if (thumbs.back()) room += thumbs.back()->size();
    }
  });

  std::string out;
  out.reserve(kHeaderSize + room);
  out.append(kHeaderSize, '\0');
  out.append("{\"");
  out.append(message.caseName());
  out.append(R"(":{"_0":)");
  CardWriter writer(out, thumbs);
  if (single) {
    writer.card(cards.front());
  } else {
    out.push_back('[');
    for (std::size_t i = 0; i < cards.size(); ++i) {
      if (i > 0) out.push_back(',');
      writer.card(cards[i]);
    }
    out.push_back(']');
  }
  out.append("}}");

  if (!putHeader(out)) return std::nullopt;
  return out;
}

}  // namespace tallowick::Wire
