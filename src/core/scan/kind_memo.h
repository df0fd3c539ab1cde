#pragma once

// The content type and kind of a file by its name (contentTypeForName,
// ScanRules::kind), remembered per ending. A walk meets thousands of names
// that end alike ("IMG_0412.jpg", "IMG_0413.jpg"), and the desktop's lookup
// of each one (a lock, copies, a match against every wildcard pattern of
// the type table, then a dozen subtype tests) costs more than the rest of
// the file's handling.
//
// A name's type depends on its whole text only through three kinds of
// patterns in the desktop's glob lists: literal names ("Makefile"),
// wildcard patterns ("README*", "*.[1-9]") and suffixes ("*.tar.gz"). A
// name that no literal and no wildcard pattern can match has the type its
// suffixes give, and those look no further back than the ending this memo
// keys on: the text from the name's Nth dot from the end, where N is the
// most dots a suffix pattern has. Suffixes with a dot that does not start
// them ("*-data.gz") count as wildcard patterns. The kind adds only the
// text after the last dot, which the ending holds. Every other name is
// asked alone, and so is every name when the glob lists cannot be read as
// GIO reads them.
//
// Not synchronised: one instance serves one walk.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "shared/report.h"

namespace tallowick {

class KindMemo {
 public:
  // Reads the glob lists of the folders GIO takes its types from (the
  // "mime" folders of the user's and the system's data folders).
  KindMemo();
  // Reads the glob lists of these "mime" folders instead. GIO must read no
  // others, or the memo may answer what GIO would not.
  explicit KindMemo(const std::vector<std::string>& mimeDirs);

  // ScanRules::kind(name, contentTypeForName(name)).
  Kind kindOf(std::string_view name);
  // contentTypeForName(name).
  std::optional<std::string> contentTypeOf(std::string_view name);

  // The ending under which `name` is remembered; none when the name must be
  // asked alone.
  std::optional<std::string_view> endingOf(std::string_view name);

  // Whether the glob lists could be read (else every name is asked alone).
  bool usable() const { return usable_; }

 private:
  struct Known {
    std::optional<std::string> contentType;
    Kind kind;
  };
  struct TailChar {
    std::size_t fromEnd;  // 1 for the last character
    char c;
  };
  struct Wildcard {
    std::string pattern;
    std::string lowered;
    bool mixedCase = false;  // pattern != lowered
    // What every lower-cased name the pattern matches holds, so most names
    // are passed over without matching: its first characters, its longest
    // run of plain characters somewhere, and for a pattern "*" followed by
    // single characters, the plain ones at their places from the end (of a
    // name of tailLength characters or more).
    std::string head;
    std::string required;
    std::optional<std::size_t> tailLength;
    std::vector<TailChar> tail;

    // False when no name whose lower-cased form is `lowered` can match;
    // `ascii` tells that the name is all ASCII.
    bool mayMatch(std::string_view lowered, bool ascii) const;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };

  // The remembered answer for `name`, found or made; null when the name
  // must be asked alone.
  const Known* remembered(std::string_view name);
  void readGlobList(std::string_view text, bool withWeights);
  void addGlob(std::string_view glob);

  bool usable_ = true;
  // Lower-cased.
  std::unordered_set<std::string, Hash, std::equal_to<>> literals_;
  std::vector<Wildcard> wildcards_;
  // The most dots of a suffix pattern ("*.tar.gz": 2), at least 1.
  int endingDots_ = 1;
  std::unordered_map<std::string, Known, Hash, std::equal_to<>> known_;
  // Room reused for each name: as given (NUL-terminated) and lower-cased.
  std::string exact_;
  std::string lowered_;
};

}  // namespace tallowick
