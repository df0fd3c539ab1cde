// One line of the decision journal, as replay reads it after a crash or from
// a file anyone with the user's rights could edit. The line reader must agree
// exactly with decoding the JSON document, and a decoded entry must come back
// unchanged through the form the journal writes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "core/commit/journal_line.h"

using namespace tallowick;

namespace {

std::optional<CommitEngine::Entry> throughDocument(std::string_view line) {
  try {
    return CommitEngine::Entry::fromJson(codec::parse(line));
  } catch (const DecodeError&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::optional<CommitEngine::Entry> entry = decodeJournalLine(line);
  if (entry != throughDocument(line)) {
    std::fprintf(stderr, "the line reader and the document disagree on: %.*s\n",
                 static_cast<int>(size), line.data());
    std::abort();
  }
  if (!entry) return 0;
  const std::string written = codec::dumpCompact(entry->toJson());
  if (decodeJournalLine(written) != entry) {
    std::fprintf(stderr, "own line does not read back: %s\n", written.c_str());
    std::abort();
  }
  return 0;
}
