#pragma once

// One line of the decision journal, read straight into an entry.
//
// Replay reads every line ever appended, so it skips the JSON document in
// between: the same lexer that codec::parse uses reports the line's tokens
// and the entry is filled from them. The result is exactly that of
// Entry::fromJson(codec::parse(line)): the same lines decode, to the same
// entries, and the same lines are refused (bad JSON or UTF-8, nesting deeper
// than codec::kMaxDepth, a missing required key, a value of the wrong type or
// case; for a key given twice the later value counts; unknown keys are
// ignored).

#include <optional>
#include <string_view>

#include "core/commit/commit_engine.h"

namespace tallowick {

// The entry a journal line holds, or no value when the line cannot be read.
// `line` is one line without its line feed.
std::optional<CommitEngine::Entry> decodeJournalLine(std::string_view line);

}  // namespace tallowick
