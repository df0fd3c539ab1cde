#include "cli/phone_text.h"

#include <gtest/gtest.h>

namespace tallowick::cli {
namespace {

TEST(PhoneText, RepliesForPeople) {
  Message::SummaryResult summary;
  summary.macName = "desk";
  summary.reclaimable = 11'400'000;
  summary.pendingCount = 1;
  summary.pendingBytes = 3000;
  summary.decks = {Deck{DeckID::smart, "Smart", 4, 11'400'000, 0},
                   Deck{DeckID::duplicates, "Duplicates", 1, 12'000, 0}};
  const Uuid refusedID = *Uuid::parse("5A1C09E2-0000-4000-8000-000000000001");
  struct Case {
    Message reply;
    std::string text;
  };
  const Case cases[] = {
      {summary,
       "desk: 11.4 MB to free; 1 file staged (3.0 kB)\n"
       "  smart                 4 cards     11.4 MB\n"
       "  duplicates            1 card      12.0 kB\n"},
      {Message::CommitResult{3, 12'000, {{refusedID, "modified since scan"}}},
       "moved 3 files to the Trash, 12.0 kB freed, 1 refused\n"
       "  5A1C09E2-0000-4000-8000-000000000001: modified since scan\n"},
      {Message::ScanProgress{200, 1000}, "scanning: 200 of 1000 files\n"},
      {Message::ScanProgress{0, 1}, "scanning: 0 of 1 file\n"},
      {Message::QueueBatch{}, "no cards\n"},
      {Message::Ok{}, "done\n"},
      {Message::Hello{"desk\033[2J", "", {}}, "connected to desk\\x1B[2J\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(replyText(c.reply), c.text) << c.text;
}

}  // namespace
}  // namespace tallowick::cli
