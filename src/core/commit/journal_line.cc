#include "core/commit/journal_line.h"

#include <array>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <utility>

namespace tallowick {

namespace {

using Entry = CommitEngine::Entry;

// The members of an entry, in the order of their raw keys below.
enum class Key { action, at, bytes, device, id, modifiedAt, path, reason, state, trashPath, other };
constexpr std::array<std::string_view, 10> kKeyNames{
    "action", "at", "bytes", "device", "id", "modifiedAt", "path", "reason", "state", "trashPath"};
constexpr bool kRequired[] = {true, true, true, false, true, false, true, false, true, false};

Key keyOf(std::string_view name) {
  for (std::size_t i = 0; i < kKeyNames.size(); ++i) {
    if (kKeyNames[i] == name) return static_cast<Key>(i);
  }
  return Key::other;
}

// What the latest value given for a key made of it.
enum class Status : std::uint8_t { absent, read, unreadable };

// Receives the tokens of one line from nlohmann's parser. Only the members of
// the top-level object are looked at; anything nested deeper is passed over,
// as Entry::fromJson passes over keys it does not know.
class LineReader {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  // The entry, once the parser accepted the whole line.
  std::optional<Entry> result() {
    for (std::size_t i = 0; i < status_.size(); ++i) {
      if (status_[i] == Status::unreadable || (kRequired[i] && status_[i] == Status::absent)) {
        return std::nullopt;
      }
    }
    return std::move(entry_);
  }

  bool null() {
    if (depth_ != 1) return depth_ > 1;
    switch (current_) {
      case Key::device:
        entry_.device.reset();
        return mark(Status::absent);
      case Key::modifiedAt:
        entry_.modifiedAt.reset();
        return mark(Status::absent);
      case Key::reason:
        entry_.reason.reset();
        return mark(Status::absent);
      case Key::trashPath:
        entry_.trashPath.reset();
        return mark(Status::absent);
      default:
        return mark(Status::unreadable);
    }
  }
  bool boolean(bool) { return scalarOfWrongType(); }
  bool number_integer(number_integer_t value) { return number(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return number(Json(value)); }
  bool number_float(number_float_t value, const string_t&) { return number(Json(value)); }
  bool binary(binary_t&) { return false; }

  bool string(string_t& value) {
    if (depth_ != 1) return depth_ > 1;
    bool ok = true;
    switch (current_) {
      case Key::path:
        entry_.path = std::move(value);
        break;
      case Key::device:
        entry_.device = std::move(value);
        break;
      case Key::reason:
        entry_.reason = std::move(value);
        break;
      case Key::trashPath:
        entry_.trashPath = std::move(value);
        break;
      case Key::id:
        ok = assign(entry_.id, Uuid::parse(value));
        break;
      case Key::action:
        ok = assign(entry_.action, enumFromRaw<Action>(value));
        break;
      case Key::state:
        ok = assign(entry_.state, enumFromRaw<CommitEngine::State>(value));
        break;
      case Key::at:
        ok = assign(entry_.at, codec::parseDate(value));
        break;
      case Key::modifiedAt:
        if (auto date = codec::parseDate(value)) {
          entry_.modifiedAt = *date;
        } else {
          ok = false;
        }
        break;
      case Key::bytes:
        ok = false;
        break;
      case Key::other:
        return true;
    }
    return mark(ok ? Status::read : Status::unreadable);
  }

  bool start_object(std::size_t) { return open(); }
  bool start_array(std::size_t) {
    // The line itself must be an object.
    return depth_ > 0 && open();
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& name) {
    if (depth_ == 1) current_ = keyOf(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  template <class T>
  static bool assign(T& to, std::optional<T> from) {
    if (!from) return false;
    to = *from;
    return true;
  }

  bool mark(Status status) {
    if (current_ != Key::other) status_[static_cast<std::size_t>(current_)] = status;
    return true;
  }

  // A value that no member of an entry accepts: fatal for a known key.
  bool scalarOfWrongType() {
    if (depth_ != 1) return depth_ > 1;
    return mark(Status::unreadable);
  }

  bool number(const Json& value) {
    if (depth_ != 1) return depth_ > 1;
    if (current_ != Key::bytes) return mark(Status::unreadable);
    try {
      entry_.bytes = codec::decodeInteger(value, std::numeric_limits<std::int64_t>::min(),
                                          std::numeric_limits<std::int64_t>::max());
    } catch (const DecodeError&) {
      return mark(Status::unreadable);
    }
    return mark(Status::read);
  }

  bool open() {
    // An object or array as the value of a member the entry knows is of
    // the wrong type; below that, nothing is looked at.
    if (depth_ == 1) mark(Status::unreadable);
    return ++depth_ <= codec::kMaxDepth;
  }

  bool close() {
    --depth_;
    return true;
  }

  Entry entry_;
  std::array<Status, kKeyNames.size()> status_{};
  int depth_ = 0;
  Key current_ = Key::other;
};

}  // namespace

std::optional<CommitEngine::Entry> decodeJournalLine(std::string_view line) {
  LineReader reader;
  try {
    if (!Json::sax_parse(line.begin(), line.end(), &reader)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return reader.result();
}

}  // namespace tallowick
