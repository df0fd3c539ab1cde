#include "core/commit/commit_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unordered_set>

#include "core/commit/containment.h"
#include "core/commit/journal_line.h"
#include "core/commit/trash.h"
#include "shared/file_util.h"

namespace tallowick {

namespace {

using codec::field;
using codec::optionalField;

std::string parentDirectory(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

Date fromTimespec(const struct timespec& ts) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(ts.tv_sec) +
                                                         std::chrono::nanoseconds(ts.tv_nsec)));
}

// One row of a commit log.
struct LogRow {
  std::string path;
  std::int64_t bytes = 0;
  std::string outcome;
  std::optional<std::string> reason;
  std::optional<std::string> trashPath;

  Json toJson() const {
    Json json = Json::object();
    json["path"] = path;
    json["bytes"] = bytes;
    json["outcome"] = outcome;
    codec::setOptional(json, "reason", reason);
    codec::setOptional(json, "trashPath", trashPath);
    return json;
  }
};

// "2026-03-01T09:30:05Z" -> "2026-03-01T09-30-05Z.json"
std::string logFileName(Date at) {
  std::string name = codec::formatDate(at);
  std::replace(name.begin(), name.end(), ':', '-');
  return name + ".json";
}

// The journal's bytes, read with as few copies as a file allows: into a
// buffer of the file's size that nothing fills first.
class JournalText {
 public:
  std::string_view view() const { return {data_.get(), size_}; }

  bool readFrom(int fd) {
    struct stat st;
    std::size_t capacity = ::fstat(fd, &st) == 0 && st.st_size > 0
                               ? static_cast<std::size_t>(st.st_size) + 1
                               : std::size_t{1} << 16;
    data_.reset(new char[capacity]);
    for (;;) {
      if (size_ == capacity) {
        // The file grew since fstat, or is not a regular file.
        std::unique_ptr<char[]> bigger(new char[capacity * 2]);
        std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity *= 2;
      }
      ssize_t n = ::read(fd, data_.get() + size_, capacity - size_);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return true;
      size_ += static_cast<std::size_t>(n);
    }
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

std::optional<JournalText> readJournal(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  JournalText text;
  bool ok = text.readFrom(fd);
  ::close(fd);
  if (!ok) return std::nullopt;
  return text;
}

}  // namespace

bool sameModificationTime(const std::optional<Date>& a, const std::optional<Date>& b) {
  if (a && b) {
    auto diff = *a > *b ? *a - *b : *b - *a;
    return diff < std::chrono::seconds(1);
  }
  return !a && !b;
}

CommitEngine::Config::Config(std::vector<std::string> roots_, const std::string& storage)
    : roots(std::move(roots_)),
      journalURL(storage + "/decisions.jsonl"),
      commitsDir(storage + "/commits") {}

Json CommitEngine::Entry::toJson() const {
  Json json = Json::object();
  json["path"] = path;
  json["id"] = codec::encode(id);
  json["action"] = codec::encode(action);
  json["state"] = codec::encode(state);
  json["bytes"] = bytes;
  codec::setOptional(json, "modifiedAt", modifiedAt);
  codec::setOptional(json, "trashPath", trashPath);
  codec::setOptional(json, "reason", reason);
  codec::setOptional(json, "device", device);
  json["at"] = codec::encode(at);
  return json;
}

CommitEngine::Entry CommitEngine::Entry::fromJson(const Json& json) {
  Entry e;
  e.path = field<std::string>(json, "path");
  e.id = field<Uuid>(json, "id");
  e.action = field<Action>(json, "action");
  e.state = field<State>(json, "state");
  e.bytes = field<std::int64_t>(json, "bytes");
  e.modifiedAt = optionalField<Date>(json, "modifiedAt");
  e.trashPath = optionalField<std::string>(json, "trashPath");
  e.reason = optionalField<std::string>(json, "reason");
  e.device = optionalField<std::string>(json, "device");
  e.at = field<Date>(json, "at");
  return e;
}

CommitEngine::CommitEngine(Config config_, Clock clock)
    : config(std::move(config_)), clock_(std::move(clock)) {
  replay();
}

Date CommitEngine::now() const { return clock_ ? clock_() : std::chrono::system_clock::now(); }

void CommitEngine::replay() {
  std::optional<JournalText> text = readJournal(config.journalURL);
  if (!text) return;
  std::string_view rest = text->view();
  needsNewline_ = !rest.empty() && rest.back() != '\n';
  // One bucket per line at most: no rehashing while a long journal loads.
  std::size_t lines = 0;
  for (const char* p = rest.data();
       (p = static_cast<const char*>(std::memchr(p, '\n', rest.data() + rest.size() - p))) !=
       nullptr;
       ++p) {
    ++lines;
  }
  entries_.reserve(lines + 1);
  // Lines are judged one by one: a line torn inside a multi-byte character
  // must cost that line only, not the whole journal.
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty()) continue;
    // An unreadable line leaves the earlier record for its path in force.
    if (std::optional<Entry> e = decodeJournalLine(line)) {
      entries_.try_emplace(e->path).first->second = std::move(*e);
    }
  }
}

void CommitEngine::append(const Entry& entry) {
  entries_.insert_or_assign(entry.path, entry);
  std::string line;
  try {
    line = codec::dumpCompact(entry.toJson());
  } catch (const std::exception&) {
    return;
  }
  if (needsNewline_) line.insert(line.begin(), '\n');
  line.push_back('\n');

  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
  int fd = ::open(config.journalURL.c_str(), flags, 0600);
  if (fd < 0 && errno == ENOENT) {
    std::error_code ignored;
    std::filesystem::create_directories(parentDirectory(config.journalURL), ignored);
    fd = ::open(config.journalURL.c_str(), flags, 0600);
  }
  if (fd < 0) return;
  // One write of one whole line: with O_APPEND it lands at the end in one
  // piece or, if the process dies inside it, as a torn last line.
  ssize_t n;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(line.size())) {
    needsNewline_ = false;
  } else if (n > 0) {
    needsNewline_ = true;
  }
  ::close(fd);
}

void CommitEngine::record(const Item& item, Action action,
                          const std::optional<std::string>& device) {
  if (const Entry* current = entry(item.path); current && current->state == State::trashed) return;
  Entry e;
  e.path = item.path;
  e.id = item.id;
  e.action = action;
  e.state = State::pending;
  e.bytes = item.bytes;
  e.modifiedAt = item.modifiedAt;
  e.device = device;
  e.at = now();
  append(e);
}

void CommitEngine::cancelPending(const std::string& path) {
  const Entry* current = entry(path);
  if (!current || current->state != State::pending) return;
  Entry e = *current;
  e.state = State::undone;
  e.at = now();
  append(e);
}

std::vector<CommitEngine::Entry> CommitEngine::pending() const {
  std::vector<Entry> out;
  for (const auto& [path, e] : entries_) {
    if (e.state == State::pending) out.push_back(e);
  }
  return out;
}

std::vector<CommitEngine::Entry> CommitEngine::trashedEntries() const {
  std::vector<Entry> out;
  for (const auto& [path, e] : entries_) {
    if (e.state == State::trashed) out.push_back(e);
  }
  return out;
}

const CommitEngine::Entry* CommitEngine::entry(const std::string& path) const {
  auto it = entries_.find(path);
  return it == entries_.end() ? nullptr : &it->second;
}

CommitEngine::Outcome CommitEngine::commit(const std::vector<Item>& items,
                                           const std::string& device,
                                           std::optional<std::int64_t> limit) {
  Outcome outcome;
  // Selection. A path listed twice is taken once: a second pass would find
  // the file gone and overwrite its trashed entry (and its Trash path).
  std::vector<const Item*> selected;
  std::unordered_set<std::string_view> seen;
  std::int64_t total = 0;
  bool overflow = false;
  for (const Item& item : items) {
    const Entry* e = entry(item.path);
    if (!e || e->state != State::pending || e->action != Action::trash) continue;
    if (!seen.insert(item.path).second) continue;
    selected.push_back(&item);
    overflow = overflow || __builtin_add_overflow(total, item.bytes, &total);
  }

  if (static_cast<std::int64_t>(selected.size()) > config.maxItems || overflow ||
      total > config.maxBytes) {
    for (const Item* item : selected) outcome.failed.push_back({item->id, "batch too large"});
    writeCommitLog(device, 0, 0, outcome.failed, selected);
    return outcome;
  }

  for (const Item* item : selected) {
    if (limit && outcome.trashed >= *limit) break;
    Entry e = *entry(item->path);
    std::optional<std::string> reason;
    std::optional<std::string> trashPath;
    struct stat st;
    if (!Containment::isInside(item->path, config.roots)) {
      reason = "outside roots";
    } else if (::lstat(item->path.c_str(), &st) != 0) {
      reason = "missing";
    } else if (static_cast<std::int64_t>(st.st_size) != e.bytes ||
               !sameModificationTime(fromTimespec(st.st_mtim), e.modifiedAt)) {
      reason = "modified since scan";
    } else {
      Trash::MoveResult moved = Trash::moveToTrash(item->path);
      if (moved.ok()) {
        trashPath = moved.trashPath;
      } else {
        reason = moved.error.message();
      }
    }
    e.at = now();
    e.device = device;
    if (reason) {
      e.state = State::failed;
      e.reason = reason;
      append(e);
      outcome.failed.push_back({item->id, *reason});
    } else {
      e.state = State::trashed;
      e.trashPath = trashPath;
      append(e);
      outcome.trashed += 1;
      outcome.freed += item->bytes;
      outcome.moved.push_back(e);
    }
  }
  writeCommitLog(device, outcome.trashed, outcome.freed, outcome.failed, selected);
  return outcome;
}

void CommitEngine::writeCommitLog(const std::string& device, std::int64_t trashed,
                                  std::int64_t freed, const std::vector<CommitFailure>& failures,
                                  const std::vector<const Item*>& selected) {
  std::unordered_map<Uuid, std::string> reasons;
  for (const CommitFailure& f : failures) reasons.try_emplace(f.id, f.reason);
  Json rows = Json::array();
  for (const Item* item : selected) {
    LogRow row{item->path, item->bytes, "skipped", std::nullopt, std::nullopt};
    if (auto it = reasons.find(item->id); it != reasons.end()) {
      row.outcome = "failed";
      row.reason = it->second;
    } else if (const Entry* e = entry(item->path); e && e->state == State::trashed) {
      row.outcome = "trashed";
      row.trashPath = e->trashPath;
    }
    rows.push_back(row.toJson());
  }
  Date at = now();
  Json log = Json::object();
  log["at"] = codec::encode(at);
  log["device"] = device;
  log["trashed"] = trashed;
  log["failed"] = static_cast<std::int64_t>(failures.size());
  log["bytes"] = freed;
  log["items"] = std::move(rows);
  std::string text;
  try {
    text = codec::dumpStored(log);
  } catch (const std::exception&) {
    return;
  }
  std::error_code ignored;
  std::filesystem::create_directories(config.commitsDir, ignored);
  writeFileAtomically(config.commitsDir + "/" + logFileName(at), text);
}

CommitEngine::Outcome CommitEngine::undo(const std::vector<std::string>& paths) {
  Outcome outcome;
  for (const std::string& path : paths) {
    const Entry* current = entry(path);
    if (!current || current->state != State::trashed || !current->trashPath) continue;
    Entry e = *current;
    const std::string& source = *e.trashPath;
    struct stat st;
    std::optional<std::string> reason;
    if (::lstat(source.c_str(), &st) != 0) {
      reason = "gone from trash";
    } else if (::lstat(e.path.c_str(), &st) == 0) {
      reason = "something is already there";
    } else {
      std::error_code ec;
      std::filesystem::create_directories(parentDirectory(e.path), ec);
      if (ec) {
        reason = ec.message();
      } else if (std::error_code err = Trash::putBack(source, e.path)) {
        // A file that appeared since the check is not replaced either.
        reason = err == std::errc::file_exists ? "something is already there" : err.message();
      }
    }
    if (reason) {
      outcome.failed.push_back({e.id, *reason});
      continue;
    }
    e.state = State::undone;
    e.at = now();
    append(e);
    outcome.trashed += 1;
    outcome.freed += e.bytes;
    outcome.moved.push_back(e);
  }
  return outcome;
}

CommitEngine::Outcome CommitEngine::undo(const std::set<Uuid>& ids) {
  std::vector<std::string> paths;
  for (const auto& [path, e] : entries_) {
    if (e.state == State::trashed && ids.count(e.id)) paths.push_back(path);
  }
  std::sort(paths.begin(), paths.end());
  return undo(paths);
}

}  // namespace tallowick
