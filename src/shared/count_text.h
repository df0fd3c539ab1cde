#pragma once
// Counted nouns in English: "1 folder", but "0 folders" and "2 folders".
// Each text names both forms, so a count of one never reads "1 files".

#include <cstdint>
#include <string>

namespace tallowick {

// `one` for a count of exactly one, `many` for every other count (zero
// and negative ones included).
// REQUIRES: `one` and `many` are not null.
const char* countNoun(std::int64_t count, const char* one, const char* many);

// The count in plain decimal, a space and countNoun(): "3 folders".
std::string countText(std::int64_t count, const char* one, const char* many);

}  // namespace tallowick
