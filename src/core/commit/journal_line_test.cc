#include "core/commit/journal_line.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

namespace tallowick {
namespace {

// What replay read before lines were decoded without a document: the
// reference the fast reader must match line for line.
std::optional<CommitEngine::Entry> throughDocument(std::string_view line) {
  try {
    return CommitEngine::Entry::fromJson(codec::parse(line));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

const std::string kFull =
    "{\"action\":\"trash\",\"at\":\"2026-03-01T09:30:05Z\",\"bytes\":123456789,"
    "\"device\":\"Anna's phone\",\"id\":\"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D\","
    "\"modifiedAt\":\"2025-01-31T23:59:59Z\",\"path\":\"/home/anna/Downloads/a b.dmg\","
    "\"reason\":\"missing\",\"state\":\"trashed\",\"trashPath\":\"/t/files/a b.dmg\"}";

// The smallest readable line: the required keys only.
std::string minimal(const std::string& extra = "") {
  return "{\"action\":\"keep\",\"at\":\"2026-03-01T09:30:05Z\",\"bytes\":1,"
         "\"id\":\"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d\",\"path\":\"/x\",\"state\":\"pending\"" +
         extra + "}";
}

// `line` with the first occurrence of `from` replaced by `to`.
std::string with(std::string line, const std::string& from, const std::string& to) {
  auto at = line.find(from);
  if (at == std::string::npos) throw std::logic_error("no " + from + " in " + line);
  return line.replace(at, from.size(), to);
}

std::string nested(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

TEST(JournalLine, ReadsWhatTheDocumentReads) {
  struct Case {
    const char* name;
    std::string line;
    bool readable;
  } cases[] = {
      {"every key", kFull, true},
      {"required keys only", minimal(), true},
      {"spaces around", "  " + minimal() + " \t", true},
      {"escapes", with(minimal(), "\"/x\"", "\"\\/x\\u00e9\\n\\\"\""), true},
      {"surrogate pair", with(minimal(), "\"/x\"", "\"/\\ud83d\\ude00\""), true},
      {"long plain path", with(minimal(), "\"/x\"", "\"/" + std::string(5000, 'p') + "\""), true},
      {"unknown keys, nested", minimal(",\"zz\":{\"a\":[1,{\"path\":5}],\"b\":null}"), true},
      {"unknown key at the deepest level", minimal(",\"zz\":" + nested(255)), true},
      {"nesting too deep", minimal(",\"zz\":" + nested(256)), false},
      {"optional null", minimal(",\"device\":null,\"trashPath\":null"), true},
      {"optional given then null", minimal(",\"device\":\"d\",\"device\":null"), true},
      {"optional bad then good", minimal(",\"reason\":5,\"reason\":\"r\""), true},
      {"optional good then bad", minimal(",\"reason\":\"r\",\"reason\":5"), false},
      {"required bad then good", with(minimal(), "{", "{\"bytes\":\"x\","), true},
      {"required good then null", minimal(",\"bytes\":null"), false},
      {"required good then bad", minimal(",\"id\":\"nope\""), false},
      {"bytes as a whole float", with(minimal(), "\"bytes\":1", "\"bytes\":1e3"), true},
      {"bytes negative", with(minimal(), "\"bytes\":1", "\"bytes\":-7"), true},
      {"bytes fractional", with(minimal(), "\"bytes\":1", "\"bytes\":1.5"), false},
      {"bytes 2^63", with(minimal(), "\"bytes\":1", "\"bytes\":9223372036854775808"), false},
      {"bytes huge", with(minimal(), "\"bytes\":1", "\"bytes\":1e300"), false},
      {"bytes as text", with(minimal(), "\"bytes\":1", "\"bytes\":\"1\""), false},
      {"bytes true", with(minimal(), "\"bytes\":1", "\"bytes\":true"), false},
      {"path as a number", with(minimal(), "\"/x\"", "7"), false},
      {"path as an object", with(minimal(), "\"/x\"", "{}"), false},
      {"path as an array", with(minimal(), "\"/x\"", "[\"/x\"]"), false},
      {"no path", with(minimal(), ",\"path\":\"/x\"", ""), false},
      {"no at", with(minimal(), "\"at\":\"2026-03-01T09:30:05Z\",", ""), false},
      {"date with fraction", with(minimal(), "05Z", "05.5Z"), false},
      {"modifiedAt not a date", minimal(",\"modifiedAt\":\"yesterday\""), false},
      {"unknown state", with(minimal(), "pending", "deleted"), false},
      {"state in capitals", with(minimal(), "pending", "Pending"), false},
      {"unknown action", with(minimal(), "keep", "later"), false},
      {"top level array", "[" + minimal() + "]", false},
      {"top level string", "\"x\"", false},
      {"top level null", "null", false},
      {"two objects", minimal() + minimal(), false},
      {"trailing comma", with(minimal(), "}", ",}"), false},
      {"torn", minimal().substr(0, 40), false},
      {"invalid UTF-8", with(minimal(), "/x", "/\xC3"), false},
      {"raw control character", with(minimal(), "/x", "/\x01"), false},
  };
  for (const Case& c : cases) {
    std::optional<CommitEngine::Entry> fast = decodeJournalLine(c.line);
    EXPECT_EQ(fast.has_value(), c.readable) << c.name;
    EXPECT_EQ(fast, throughDocument(c.line)) << c.name;
  }

  auto full = decodeJournalLine(kFull);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->path, "/home/anna/Downloads/a b.dmg");
  EXPECT_EQ(full->id, *Uuid::parse("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"));
  EXPECT_EQ(full->action, Action::trash);
  EXPECT_EQ(full->state, CommitEngine::State::trashed);
  EXPECT_EQ(full->bytes, 123456789);
  EXPECT_EQ(full->modifiedAt, codec::parseDate("2025-01-31T23:59:59Z"));
  EXPECT_EQ(full->at, codec::parseDate("2026-03-01T09:30:05Z"));
  EXPECT_EQ(full->device, "Anna's phone");
  EXPECT_EQ(full->reason, "missing");
  EXPECT_EQ(full->trashPath, "/t/files/a b.dmg");
}

// Lines damaged at random (bytes changed, dropped, doubled) read the same
// both ways, whatever the damage makes of them.
TEST(JournalLine, DamagedLinesReadTheSameBothWays) {
  std::random_device device;
  unsigned seed = device();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const std::string sources[] = {kFull, minimal(),
                                 minimal(",\"x\":[{\"y\":null}],\"device\":\"d\"")};
  const std::string alphabet = "{}[]\":,\\ 0123456789-.eEtrufalsn/Zpae\xC3\xA9\x80";
  int readable = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string line = sources[round % 3];
    int edits = 1 + static_cast<int>(random() % 3);
    for (int k = 0; k < edits && !line.empty(); ++k) {
      std::size_t at = random() % line.size();
      char c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0:
          line[at] = c;
          break;
        case 1:
          line.erase(at, 1 + random() % 4);
          break;
        default:
          line.insert(at, line.substr(at, 1 + random() % 12));
          break;
      }
    }
    std::optional<CommitEngine::Entry> fast = decodeJournalLine(line);
    readable += fast.has_value();
    ASSERT_EQ(fast, throughDocument(line)) << line;
  }
  // The damage leaves enough lines readable for the comparison to mean
  // something on both sides.
  EXPECT_GT(readable, 500);
  EXPECT_LT(readable, 19500);
}

}  // namespace
}  // namespace tallowick
