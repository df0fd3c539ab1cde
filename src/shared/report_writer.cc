#include "shared/report_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <future>
#include <string_view>
#include <system_error>

#include "shared/file_util.h"

namespace tallowick {
namespace {

// Pretty printing as nlohmann's dump(2) does it: members on their own lines
// indented two spaces a level, "key": value, empty arrays as [], non-ASCII
// text as it is and control characters escaped.
class PrettyWriter;
void writeItem(PrettyWriter& w, const Item& item);
void writeGroup(PrettyWriter& w, const Group& group);

class PrettyWriter {
 public:
  // `depth`: the nesting of what is written (a piece of an array inside the
  // document starts deeper than the document).
  explicit PrettyWriter(OutputBuffer& out, int depth = 0) : out_(out), depth_(depth) {}

  void openObject() {
    out_.append('{');
    ++depth_;
    first_ = true;
  }
  // Keys must come in sorted order; the callers below list them so.
  void key(std::string_view name) {
    out_.append(first_ ? std::string_view("\n") : std::string_view(",\n"));
    indent();
    out_.append('"');
    out_.append(name);
    out_.append(std::string_view("\": "));
    first_ = false;
  }
  void closeObject() {
    --depth_;
    out_.append('\n');
    indent();
    out_.append('}');
    first_ = false;
  }

  template <class T, class WriteElement>
  void array(const std::vector<T>& elements, WriteElement writeElement) {
    if (elements.empty()) {
      out_.append(std::string_view("[]"));
      return;
    }
    out_.append('[');
    ++depth_;
    for (std::size_t i = 0; i < elements.size(); ++i) {
      out_.append(i == 0 ? std::string_view("\n") : std::string_view(",\n"));
      indent();
      writeElement(elements[i]);
    }
    --depth_;
    out_.append('\n');
    indent();
    out_.append(']');
  }

  // The same as array(), with large arrays formatted a piece at a time by
  // this thread and a helper side by side (the report of a large scan is
  // mostly its items), the pieces written in order.
  template <class T>
  void arrayInPieces(const std::vector<T>& elements,
                     void (*writeElement)(PrettyWriter&, const T&)) {
    constexpr std::size_t kPiece = 1024;
    if (elements.size() < 2 * kPiece) {
      array(elements, [&](const T& e) { writeElement(*this, e); });
      return;
    }
    out_.append('[');
    ++depth_;
    auto piece = [&elements, writeElement, depth = depth_](std::size_t from, std::size_t to) {
      OutputBuffer text;
      PrettyWriter w(text, depth);
      for (std::size_t i = from; i < to; ++i) {
        text.append(i == 0 ? std::string_view("\n") : std::string_view(",\n"));
        w.indent();
        writeElement(w, elements[i]);
      }
      return text.take();
    };
    for (std::size_t from = 0; from < elements.size(); from += 2 * kPiece) {
      const std::size_t middle = std::min(elements.size(), from + kPiece);
      const std::size_t to = std::min(elements.size(), from + 2 * kPiece);
      std::future<std::string> second;
      if (middle < to) {
        try {
          second = std::async(std::launch::async, piece, middle, to);
        } catch (const std::system_error&) {
          // No thread to be had: the second piece is formatted here too.
        }
      }
      out_.append(piece(from, middle));
      if (middle < to) out_.append(second.valid() ? second.get() : piece(middle, to));
    }
    --depth_;
    out_.append('\n');
    indent();
    out_.append(']');
  }

  void string(std::string_view text) {
    if (!isValidUTF8(text)) {
      // nlohmann's replacement of invalid sequences, exactly as it does it.
      out_.append(codec::dumpCompact(Json(std::string(text))));
      return;
    }
    out_.append('"');
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      out_.append(text.substr(plain, i - plain));
      plain = i + 1;
      switch (c) {
        case '"':
          out_.append(std::string_view("\\\""));
          break;
        case '\\':
          out_.append(std::string_view("\\\\"));
          break;
        case '\b':
          out_.append(std::string_view("\\b"));
          break;
        case '\f':
          out_.append(std::string_view("\\f"));
          break;
        case '\n':
          out_.append(std::string_view("\\n"));
          break;
        case '\r':
          out_.append(std::string_view("\\r"));
          break;
        case '\t':
          out_.append(std::string_view("\\t"));
          break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          const char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
          out_.append(std::string_view(escaped, 6));
        }
      }
    }
    out_.append(text.substr(plain));
    out_.append('"');
  }

  template <class Integer>
  void integer(Integer value) {
    char buffer[24];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
  }

  void number(double value) {
    if (!std::isfinite(value)) {
      out_.append(std::string_view("null"));
      return;
    }
    char buffer[64];
    char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
  }

  void boolean(bool value) {
    out_.append(value ? std::string_view("true") : std::string_view("false"));
  }
  // Dates and ids need no escaping.
  void date(Date value) {
    date_.clear();
    codec::appendDate(date_, value);  // quotes included
    out_.append(date_);
  }
  void uuid(const Uuid& value) { quoted(value.chars()); }
  void digest(const OptionalDigest& value) { quoted(value.text()); }
  template <class E>
  void raw(E value) {
    string(rawValue(value));
  }

 private:
  template <std::size_t N>
  void quoted(const std::array<char, N>& text) {
    out_.append('"');
    out_.append(std::string_view(text.data(), N));
    out_.append('"');
  }

  void indent() {
    static constexpr std::string_view kSpaces = "                                ";
    for (int left = 2 * depth_; left > 0;) {
      const int n = std::min<int>(left, static_cast<int>(kSpaces.size()));
      out_.append(kSpaces.substr(0, static_cast<std::size_t>(n)));
      left -= n;
    }
  }

  OutputBuffer& out_;
  std::string date_;  // room reused for every date
  int depth_ = 0;
  bool first_ = true;
};

void writeItem(PrettyWriter& w, const Item& item) {
  w.openObject();
  w.key("bytes");
  w.integer(item.bytes);
  if (item.createdAt) {
    w.key("createdAt");
    w.date(*item.createdAt);
  }
  if (item.groupID) {
    w.key("groupID");
    w.uuid(*item.groupID);
  }
  if (item.height) {
    w.key("height");
    w.integer(*item.height);
  }
  w.key("id");
  w.uuid(item.id);
  w.key("isCloud");
  w.boolean(item.isCloud);
  w.key("isScreenCapture");
  w.boolean(item.isScreenCapture);
  w.key("kind");
  w.raw(item.kind);
  if (item.lastOpenedAt) {
    w.key("lastOpenedAt");
    w.date(*item.lastOpenedAt);
  }
  if (item.modifiedAt) {
    w.key("modifiedAt");
    w.date(*item.modifiedAt);
  }
  w.key("path");
  w.string(item.path);
  if (item.phash) {
    w.key("phash");
    w.integer(*item.phash);
  }
  w.key("reasons");
  w.array(item.reasons, [&](Reason r) { w.raw(r); });
  w.key("score");
  w.number(item.score);
  if (item.sha256) {
    w.key("sha256");
    w.digest(item.sha256);
  }
  if (item.thumbPath) {
    w.key("thumbPath");
    w.string(*item.thumbPath);
  }
  if (item.width) {
    w.key("width");
    w.integer(*item.width);
  }
  w.closeObject();
}

void writeGroup(PrettyWriter& w, const Group& group) {
  w.openObject();
  w.key("id");
  w.uuid(group.id);
  w.key("keeperID");
  w.uuid(group.keeperID);
  w.key("memberIDs");
  w.array(group.memberIDs, [&](const Uuid& id) { w.uuid(id); });
  w.key("reclaimable");
  w.integer(group.reclaimable);
  w.key("type");
  w.raw(group.type);
  w.closeObject();
}

}  // namespace

void writeReportJSON(const Report& report, OutputBuffer& out) {
  PrettyWriter w(out);
  w.openObject();
  w.key("bytesSeen");
  w.integer(report.bytesSeen);
  w.key("filesSeen");
  w.integer(report.filesSeen);
  w.key("groups");
  w.arrayInPieces(report.groups, &writeGroup);
  w.key("items");
  w.arrayInPieces(report.items, &writeItem);
  w.key("keepers");
  w.arrayInPieces(report.keepers, &writeItem);
  w.key("reclaimable");
  w.integer(report.reclaimable);
  w.key("roots");
  w.array(report.roots, [&](const std::string& root) { w.string(root); });
  w.key("scannedAt");
  w.date(report.scannedAt);
  w.closeObject();
  out.append('\n');
}

}  // namespace tallowick
