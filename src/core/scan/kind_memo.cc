#include "core/scan/kind_memo.h"

#include <fnmatch.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <cstdlib>

#include "core/scan/content_types.h"
#include "core/scan/glib_functions.h"
#include "core/scan/scan_rules.h"
#include "shared/ascii.h"
#include "shared/file_util.h"
#include "shared/xdg.h"

namespace tallowick {
namespace {

// Names whose endings no glob list foresaw ("….2024-05-01.log") must not
// make the memo grow without end.
constexpr std::size_t kMaxEndings = 1 << 14;

// One character a pattern matches: a given one, any one ('?', or a set in
// brackets), or a run of any ('*').
struct Element {
  enum Type { kChar, kAny, kStar } type;
  char c = 0;
};

// A pattern as its elements, when it is made of plain characters, '?', '*'
// and plain sets only (no escapes, classes or open brackets).
std::optional<std::vector<Element>> elementsOf(std::string_view pattern) {
  std::vector<Element> out;
  for (std::size_t i = 0; i < pattern.size();) {
    const char c = pattern[i];
    if (c == '*' || c == '?') {
      out.push_back({c == '*' ? Element::kStar : Element::kAny});
      ++i;
    } else if (c == '\\') {
      return std::nullopt;
    } else if (c == '[') {
      std::size_t j = i + 1;
      if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) ++j;
      if (j < pattern.size() && pattern[j] == ']') ++j;
      for (; j < pattern.size() && pattern[j] != ']'; ++j) {
        if (pattern[j] == '[' && j + 1 < pattern.size() &&
            (pattern[j + 1] == ':' || pattern[j + 1] == '=' || pattern[j + 1] == '.')) {
          return std::nullopt;
        }
      }
      if (j == pattern.size()) return std::nullopt;  // an open bracket stands for itself
      out.push_back({Element::kAny});
      i = j + 1;
    } else {
      out.push_back({Element::kChar, c});
      ++i;
    }
  }
  return out;
}

// The "mime" folders GIO reads: the user's data folder's and those of the
// system's data folders, as GLib finds them, and as the XDG defaults name
// them (a folder too many only makes the memo more careful).
std::vector<std::string> gioMimeDirs() {
  std::vector<std::string> dataDirs = {xdg::dataHome(), "/usr/local/share", "/usr/share"};
  if (const char* dirs = ::getenv("XDG_DATA_DIRS")) {
    std::string_view rest = dirs;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      dataDirs.emplace_back(rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  if (libglib.load()) {
    dataDirs.emplace_back(g_get_user_data_dir());
    for (const gchar* const* dir = g_get_system_data_dirs(); *dir != nullptr; ++dir) {
      dataDirs.emplace_back(*dir);
    }
  }
  std::vector<std::string> mimeDirs;
  for (const std::string& dir : dataDirs) {
    if (dir.empty()) continue;
    std::string mime = dir + (dir.back() == '/' ? "mime" : "/mime");
    if (std::find(mimeDirs.begin(), mimeDirs.end(), mime) == mimeDirs.end()) {
      mimeDirs.push_back(std::move(mime));
    }
  }
  return mimeDirs;
}

}  // namespace

KindMemo::KindMemo() : KindMemo(gioMimeDirs()) {}

bool KindMemo::Wildcard::mayMatch(std::string_view lowered, bool ascii) const {
  if (!lowered.starts_with(head)) return false;
  if (!required.empty() && lowered.find(required) == std::string_view::npos) return false;
  // Beyond ASCII a character may take more than one byte, and the places
  // of the last ones are not known.
  if (!tailLength || !ascii) return true;
  if (lowered.size() < *tailLength) return false;
  return std::all_of(tail.begin(), tail.end(),
                     [&](const TailChar& t) { return lowered[lowered.size() - t.fromEnd] == t.c; });
}

KindMemo::KindMemo(const std::vector<std::string>& mimeDirs) {
  for (const std::string& dir : mimeDirs) {
    // GIO reads a folder's binary cache when it has one; the text lists
    // beside it are made from the same source.
    if (auto text = readWholeFile(dir + "/globs2")) {
      readGlobList(*text, true);
    } else if (auto old = readWholeFile(dir + "/globs")) {
      readGlobList(*old, false);
    } else if (::access((dir + "/mime.cache").c_str(), F_OK) == 0) {
      usable_ = false;  // patterns this memo cannot know
    }
  }
}

// "weight:type:glob[:flags...]" (globs2) or "type:glob" (globs), one a
// line; '#' starts a comment line.
void KindMemo::readGlobList(std::string_view text, bool withWeights) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    std::size_t colon = line.find(':');
    if (withWeights && colon != std::string_view::npos) colon = line.find(':', colon + 1);
    if (colon == std::string_view::npos) continue;
    std::string_view glob = line.substr(colon + 1);
    if (withWeights) glob = glob.substr(0, glob.find(':'));
    addGlob(glob);
  }
}

void KindMemo::addGlob(std::string_view glob) {
  if (glob.empty() || glob == "__NOGLOBS__") return;
  constexpr std::string_view kSpecial = "*?[\\";
  if (glob.front() == '*' && glob.find_first_of(kSpecial, 1) == std::string_view::npos) {
    const std::string_view suffix = glob.substr(1);
    const std::size_t dot = suffix.find('.');
    if (dot == std::string_view::npos) return;  // never reaches past a dot
    if (dot == 0) {
      endingDots_ =
          std::max(endingDots_, static_cast<int>(std::count(suffix.begin(), suffix.end(), '.')));
      return;
    }
    // "*-data.gz" tells "a-data.gz" from "b.gz", though their endings agree.
  }
  // Non-ASCII patterns would be lowered as Unicode, not as this memo
  // lowers names.
  if (!isASCII(glob)) {
    usable_ = false;
    return;
  }
  if (glob.find_first_of(kSpecial) == std::string_view::npos) {
    literals_.insert(lowerASCII(glob));
    return;
  }
  Wildcard wildcard;
  wildcard.pattern = std::string(glob);
  wildcard.lowered = lowerASCII(glob);
  wildcard.mixedCase = wildcard.pattern != wildcard.lowered;
  if (const auto elements = elementsOf(wildcard.lowered)) {
    // What every name the pattern matches must hold, found without matching.
    std::string run;
    bool leading = true;
    for (const Element& e : *elements) {
      if (e.type == Element::kChar) {
        run += e.c;
        continue;
      }
      if (leading) wildcard.head = run;
      if (run.size() > wildcard.required.size()) wildcard.required = run;
      leading = false;
      run.clear();
    }
    if (leading) wildcard.head = run;
    if (run.size() > wildcard.required.size()) wildcard.required = run;
    // "*" and then one character per element: the name's last characters.
    const auto stars = std::count_if(elements->begin(), elements->end(),
                                     [](const Element& e) { return e.type == Element::kStar; });
    if (stars == 1 && elements->front().type == Element::kStar) {
      wildcard.tailLength = elements->size() - 1;
      for (std::size_t i = 1; i < elements->size(); ++i) {
        if ((*elements)[i].type == Element::kChar) {
          wildcard.tail.push_back({elements->size() - i, (*elements)[i].c});
        }
      }
    }
  }
  wildcards_.push_back(std::move(wildcard));
}

std::optional<std::string_view> KindMemo::endingOf(std::string_view name) {
  if (!usable_ || name.find('.') == std::string_view::npos) return std::nullopt;
  lowered_.assign(name);
  lowerASCII(lowered_);
  if (literals_.contains(lowered_)) return std::nullopt;
  exact_.assign(name);
  const bool upper = exact_ != lowered_;
  const bool ascii = isASCII(name);
  for (const Wildcard& w : wildcards_) {
    if (!w.mayMatch(lowered_, ascii)) continue;
    // The desktop matches each pattern against the name as it is or
    // lower-cased; both, and the pattern lower-cased too, to be sure. (A
    // pattern and a name without capitals need one call.)
    if (::fnmatch(w.lowered.c_str(), lowered_.c_str(), 0) == 0 ||
        ((upper || w.mixedCase) && ::fnmatch(w.pattern.c_str(), exact_.c_str(), 0) == 0) ||
        (w.mixedCase && ::fnmatch(w.pattern.c_str(), lowered_.c_str(), 0) == 0)) {
      return std::nullopt;
    }
  }
  std::size_t start = name.size();
  int dots = 0;
  for (std::size_t at = name.size(); at-- > 0;) {
    if (name[at] != '.') continue;
    start = at;
    if (++dots == endingDots_) break;
  }
  // A name that is all ending (".deb") has no extension to its kind.
  if (start == 0) return std::nullopt;
  return name.substr(start);
}

const KindMemo::Known* KindMemo::remembered(std::string_view name) {
  const std::optional<std::string_view> ending = endingOf(name);
  if (!ending) return nullptr;
  if (auto found = known_.find(*ending); found != known_.end()) return &found->second;
  if (known_.size() >= kMaxEndings) return nullptr;
  std::optional<std::string> type = contentTypeForName(name);
  const Kind kind = ScanRules::kind(name, type);
  return &known_.emplace(std::string(*ending), Known{std::move(type), kind}).first->second;
}

Kind KindMemo::kindOf(std::string_view name) {
  if (const Known* known = remembered(name)) return known->kind;
  return ScanRules::kind(name, contentTypeForName(name));
}

std::optional<std::string> KindMemo::contentTypeOf(std::string_view name) {
  if (const Known* known = remembered(name)) return known->contentType;
  return contentTypeForName(name);
}

}  // namespace tallowick
