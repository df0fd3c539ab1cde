#include "shared/card_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "shared/wire.h"

namespace tallowick {
namespace {

using M = Message;

Bytes pattern(std::size_t size, int seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return out;
}

Uuid id(std::uint8_t n) {
  Uuid u;
  u.bytes.fill(0xA0);
  u.bytes[15] = n;
  return u;
}

FileCard plainFile(std::uint8_t n) {
  FileCard card;
  card.id = id(n);
  card.name = "IMG_" + std::to_string(n) + ".jpg";
  card.path = "/home/ann/Pictures/" + card.name;
  card.folder = "ann/Pictures";
  card.kind = Kind::image;
  card.bytes = 1000 + n;
  card.reasons = {Reason::similarPhoto};
  card.score = 1.5;
  return card;
}

// Thumbnails held outside the cards, by card id.
struct Texts {
  std::map<Uuid, std::shared_ptr<const std::string>> byID;

  void put(std::uint8_t n, const Bytes& data) {
    byID[id(n)] = std::make_shared<const std::string>(codec::base64Encode(data));
  }
  Wire::ThumbText lookup() const {
    return [this](const FileCard& card) -> std::shared_ptr<const std::string> {
      auto found = byID.find(card.id);
      return found == byID.end() ? nullptr : found->second;
    };
  }
  // The card as the phone should read it: with the thumbnail kept outside
  // unless it carries one of its own.
  FileCard filled(FileCard card) const {
    auto found = byID.find(card.id);
    if (!card.thumb && found != byID.end()) card.thumb = codec::base64Decode(*found->second);
    return card;
  }
  Card filled(Card card) const {
    if (auto* file = std::get_if<FileCard>(&card.value)) *file = filled(*file);
    if (auto* group = std::get_if<GroupCard>(&card.value)) {
      for (FileCard& member : group->members) member = filled(member);
    }
    return card;
  }
  Message filled(const Message& message) const {
    auto all = [&](std::vector<Card> cards) {
      for (Card& card : cards) card = filled(card);
      return cards;
    };
    if (const auto* m = message.get<M::QueueBatch>()) return M::QueueBatch{all(m->cards)};
    if (const auto* m = message.get<M::StagedBatch>()) return M::StagedBatch{all(m->cards)};
    if (const auto* m = message.get<M::CardUpdated>()) return M::CardUpdated{filled(m->card)};
    return message;
  }
};

// Every member the writer spells out itself, at the values where its
// output could part from the JSON library's.
std::vector<Card> cardsOfEveryShape() {
  std::vector<Card> cards;
  cards.push_back(plainFile(1));  // thumbnail from outside

  FileCard full = plainFile(2);
  full.name = "\"quoted\" back\\slash\ttab\nline\x01\x1f\x7f";
  full.path = "/home/ann/Été/日本/🐈.heic";
  full.folder = "bad \xff\xfe utf-8 \xe6\x97";  // invalid and truncated sequences
  full.kind = Kind::video;
  full.bytes = std::numeric_limits<std::int64_t>::max();
  full.reasons = {Reason::staleLargeVideo, Reason::screenshot, Reason::staleLargeDownload};
  full.score = -0.1;
  full.createdAt = kDistantPast;
  full.lastOpenedAt = kLatestDate;
  full.width = 0;
  full.height = -1;
  full.isCloud = true;
  full.thumb = pattern(5000, 3);  // its own, long enough for the long-string path
  cards.push_back(full);

  FileCard bare = plainFile(3);  // no optionals and nothing from outside
  bare.name = "";
  bare.kind = Kind::document;
  bare.reasons = {};
  bare.bytes = std::numeric_limits<std::int64_t>::min();
  cards.push_back(bare);

  FileCard ownEmpty = plainFile(4);
  ownEmpty.thumb = Bytes{};  // an empty thumbnail is still written
  ownEmpty.createdAt = Date{std::chrono::sys_days{std::chrono::year{2025} / 3 / 1}} +
                       std::chrono::microseconds{34'200'999'999};  // sub-second dropped
  cards.push_back(ownEmpty);

  GroupCard group;
  group.id = id(10);
  group.type = GroupType::similar;
  group.keeperID = id(12);
  group.reclaimable = 0;
  group.score = 1e21;  // where the library switches to an exponent
  group.members = {plainFile(11), plainFile(12), plainFile(13)};
  group.members[1].thumb = pattern(2, 9);
  group.members[2].score = 1e-7;
  group.members[2].width = 4032;
  group.members[2].height = 3024;
  cards.push_back(group);

  GroupCard empty;
  empty.id = id(20);
  empty.keeperID = id(99);
  empty.score = 123456789.125;
  cards.push_back(empty);

  for (double score :
       {0.0, -0.0, 100.0, 0.30000000000000004, 1e300, 5e-324,
        std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    FileCard card = plainFile(static_cast<std::uint8_t>(30 + cards.size()));
    card.score = score;
    cards.push_back(card);
  }
  return cards;
}

TEST(CardFrame, WritesTheBytesTheJsonLibraryWouldForEveryCardMessage) {
  const std::vector<Card> cards = cardsOfEveryShape();
  Texts texts;
  texts.put(1, pattern(20000, 1));  // long: the library's fast path
  texts.put(2, pattern(10, 2));     // the card's own thumbnail wins
  texts.put(11, pattern(1, 5));     // every padding length
  texts.put(12, pattern(7, 6));
  texts.put(13, pattern(3, 7));
  texts.put(31, Bytes{});  // an empty file

  const std::vector<Message> messages = {
      M::QueueBatch{cards},
      M::QueueBatch{},
      M::StagedBatch{cards},
      M::CardUpdated{cards[4]},
      M::CardUpdated{cards[2]},
      M::Summary{},
      M::PreviewData{id(1), pattern(100, 1)},
  };
  for (const Message& message : messages) {
    SCOPED_TRACE(message.caseName());
    const std::optional<std::string> expected = Wire::encode(texts.filled(message));
    ASSERT_TRUE(expected);
    EXPECT_EQ(Wire::encodeCards(message, texts.lookup()), *expected);
    // Nothing from outside: exactly today's frame of the cards as they are.
    EXPECT_EQ(Wire::encodeCards(message, {}), Wire::encode(message));
  }
}

TEST(CardFrame, AsksForTheThumbnailOfEachCardWithoutOneOnceInWritingOrder) {
  std::vector<Card> cards = cardsOfEveryShape();
  std::vector<Uuid> asked;
  Wire::encodeCards(M::QueueBatch{cards}, [&](const FileCard& card) {
    asked.push_back(card.id);
    return nullptr;
  });
  std::vector<Uuid> expected;
  for (const Card& card : cards) {
    std::vector<FileCard> files =
        card.file() ? std::vector<FileCard>{*card.file()} : card.group()->members;
    for (const FileCard& file : files) {
      if (!file.thumb) expected.push_back(file.id);
    }
  }
  EXPECT_EQ(asked, expected);
}

}  // namespace
}  // namespace tallowick
