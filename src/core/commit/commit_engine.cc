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
#include "core/commit/root_walk.h"
#include "core/commit/trash.h"
#include "shared/file_util.h"
#include "shared/paths.h"
#include "shared/unique_fd.h"

namespace tallowick {

namespace {

using codec::field;
using codec::optionalField;

// The reasons a commit or an undo refuses a file, as the phone shows them.
constexpr const char* kOutsideRoots = "outside roots";
constexpr const char* kMissing = "missing";
constexpr const char* kModified = "modified since scan";
constexpr const char* kBatchTooLarge = "batch too large";
constexpr const char* kJournalUnwritable = "journal unwritable";
constexpr const char* kGoneFromTrash = "gone from trash";
constexpr const char* kPlaceTaken = "something is already there";

// Writes a commit log as the whole file at `path`, replacing one of the same
// name (a commit in the same second). Logs are a record for the user and are
// never read back, so unlike the journal they are not flushed to the disk.
// A link found at `path` is replaced, never followed.
void writeLogFile(const std::string& path, std::string_view text) {
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0) {
    fd = ::open(path.c_str(), flags, 0644);
  }
  if (fd < 0) return;
  writeAll(fd, text);
  ::close(fd);
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

}  // namespace

bool sameModificationTime(const std::optional<Date>& a, const std::optional<Date>& b) {
  if (a && b) {
    // Without subtracting: dates at the far ends of the range would overflow.
    const Date low = std::min(*a, *b), high = std::max(*a, *b);
    return low > Date::max() - std::chrono::seconds(1) || high < low + std::chrono::seconds(1);
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

CommitEngine::CommitEngine(Config config, Clock clock)
    : config_(std::move(config)), clock_(std::move(clock)), journal_(config_.journalURL) {
  replay();
}

Date CommitEngine::now() const { return clock_ ? clock_() : currentDate(); }

void CommitEngine::replay() {
  UniqueFd file = journal_.openForReading();
  if (!file.valid()) return;
  const int fd = file.get();
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    // About one entry per 256 bytes of journal at most: little or no
    // rehashing while a long journal loads.
    entries_.reserve(static_cast<std::size_t>(st.st_size) / 256 + 1);
  }
  // The file is read a piece at a time through one buffer rather than whole:
  // a journal of months is hundreds of megabytes, and fresh memory of that
  // size costs more to fault in than the reading itself.
  constexpr std::size_t kPiece = 1 << 20;
  std::size_t capacity = kPiece;
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::size_t held = 0;  // the start of an unfinished line, at the front
  char lastByte = '\n';
  for (;;) {
    if (held == capacity) {
      // One line longer than the buffer.
      std::unique_ptr<char[]> bigger(new char[capacity * 2]);
      std::memcpy(bigger.get(), buffer.get(), held);
      buffer = std::move(bigger);
      capacity *= 2;
    }
    ssize_t n = ::read(fd, buffer.get() + held, capacity - held);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // An unreadable journal gives no entries at all.
      entries_.clear();
      return;
    }
    if (n == 0) break;
    lastByte = buffer[held + static_cast<std::size_t>(n) - 1];
    std::string_view text(buffer.get(), held + static_cast<std::size_t>(n));
    std::size_t end = text.rfind('\n');
    if (end == std::string_view::npos) {
      held = text.size();
      continue;
    }
    replayLines(text.substr(0, end));
    held = text.size() - end - 1;
    std::memmove(buffer.get(), buffer.get() + end + 1, held);
  }
  // The last line has no line feed: a torn write. It is judged like any
  // other line, and the next append starts a fresh one.
  replayLines(std::string_view(buffer.get(), held));
  journal_.setTorn(lastByte != '\n');
}

void CommitEngine::replayLines(std::string_view text) {
  // Lines are judged one by one: a line torn inside a multi-byte character
  // must cost that line only, not the whole journal.
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty()) continue;
    // An unreadable line leaves the earlier record for its path in force.
    if (std::optional<Entry> e = decodeJournalLine(line)) {
      entries_.try_emplace(e->path).first->second = std::move(*e);
    }
  }
}

std::error_code CommitEngine::append(const Entry& entry) {
  entries_.insert_or_assign(entry.path, entry);
  std::string line;
  try {
    line = codec::dumpCompact(entry.toJson());
  } catch (const std::exception&) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  return journal_.append(line);
}

std::error_code CommitEngine::record(const Item& item, Action action,
                                     const std::optional<std::string>& device) {
  const Entry* current = entry(item.path);
  if (current && current->state == State::trashed) return {};
  std::optional<Entry> before;
  if (current) before = *current;
  Entry e;
  e.path = item.path;
  e.id = item.id;
  e.action = action;
  e.state = State::pending;
  e.bytes = item.bytes;
  e.modifiedAt = item.modifiedAt;
  e.device = device;
  e.at = now();
  std::error_code error = append(e);
  if (error) {
    // Unwritten, it would be forgotten at the next start: not recorded now
    // either.
    if (before) {
      entries_.insert_or_assign(item.path, std::move(*before));
    } else {
      entries_.erase(item.path);
    }
  }
  return error;
}

std::error_code CommitEngine::cancelPending(const std::string& path) {
  const Entry* current = entry(path);
  if (!current || current->state != State::pending) return {};
  Entry e = *current;
  e.state = State::undone;
  e.at = now();
  return append(e);
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

  if (static_cast<std::int64_t>(selected.size()) > config_.maxItems || overflow ||
      total > config_.maxBytes) {
    for (const Item* item : selected) outcome.failed.push_back({item->id, kBatchTooLarge});
    writeCommitLog(device, 0, 0, outcome.failed, selected);
    return outcome;
  }

  JournalFile::Batch batch(journal_);
  // The journal is the only record of where the files go: before the first
  // move it must have room for a line per file. Where the file system cannot
  // reserve room, one line is written instead: the first file's own entry
  // again, which changes nothing when read back.
  if (!selected.empty()) {
    std::size_t room = 0;
    for (const Item* item : selected) room += 2 * item->path.size() + 512;
    std::error_code error = journal_.reserve(room);
    if (error == std::errc::operation_not_supported) error = append(*entry(selected.front()->path));
    if (error) {
      for (const Item* item : selected) outcome.failed.push_back({item->id, kJournalUnwritable});
      outcome.journalError = error;
      writeCommitLog(device, 0, 0, outcome.failed, selected);
      return outcome;
    }
  }

  // The roots are resolved once for the whole batch.
  const RootWalk walk(config_.roots);
  const std::vector<std::string> prefixes = Containment::rootPrefixes(config_.roots);
  Trash::Mover mover;
  for (const Item* item : selected) {
    if (limit && outcome.trashed >= *limit) break;
    Entry e = *entry(item->path);
    FileOutcome result = moveOne(item->path, e, walk, prefixes, mover);
    e.at = now();
    e.device = device;
    if (!result.moved()) {
      e.state = State::failed;
      e.reason = result.reason;
      append(e);
      outcome.failed.push_back({item->id, result.reason});
      continue;
    }
    e.state = State::trashed;
    e.trashPath = result.trashPath;
    if (std::error_code error = append(e)) {
      outcome.unjournalled.push_back(e);
      outcome.journalError = error;
    }
    outcome.trashed += 1;
    outcome.freed += item->bytes;
    outcome.moved.push_back(e);
  }
  journal_.endBatch();
  writeCommitLog(device, outcome.trashed, outcome.freed, outcome.failed, selected);
  return outcome;
}

CommitEngine::FileOutcome CommitEngine::moveOne(const std::string& path, const Entry& e,
                                                const RootWalk& walk,
                                                const std::vector<std::string>& prefixes,
                                                Trash::Mover& mover) {
  // A link is judged by where it leads: out of the roots is outside; inside
  // them it is not what the scan saw, since the scan follows no link.
  auto throughLink = [&] {
    std::string canonical = Containment::canonicalPath(path);
    bool inside = !canonical.empty() && Containment::isBelow(canonical, prefixes);
    return FileOutcome{inside ? kModified : kOutsideRoots, std::nullopt};
  };
  // Every check and the move act on the folder opened here, so a link put
  // in place of one of its parents meanwhile cannot redirect the move.
  RootWalk::Parent parent = walk.openParent(path, false);
  switch (parent.stop) {
    case RootWalk::Stop::none:
      break;
    case RootWalk::Stop::outside:
      return {kOutsideRoots, std::nullopt};
    case RootWalk::Stop::link:
      return throughLink();
    case RootWalk::Stop::missing:
    case RootWalk::Stop::notFolder:
    case RootWalk::Stop::failed:
      return {kMissing, std::nullopt};
  }

  struct statx st {};
  if (::statx(parent.dir.get(), parent.name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_MNT_ID, &st) != 0) {
    return {kMissing, std::nullopt};
  }
  if (S_ISLNK(st.stx_mode)) return throughLink();
  const std::int64_t size = st.stx_mask & STATX_SIZE ? static_cast<std::int64_t>(st.stx_size) : -1;
  std::optional<Date> modified;
  if (st.stx_mask & STATX_MTIME) {
    modified = dateFromFileTime(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
  }
  if (size != e.bytes || !sameModificationTime(modified, e.modifiedAt)) {
    return {kModified, std::nullopt};
  }
  Trash::MoveResult moved =
      mover.move(parent.dir.get(), parent.dirPath, parent.name, Trash::mountKey(st));
  if (!moved.ok()) return {moved.error.message(), std::nullopt};
  return {"", moved.trashPath};
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
  std::filesystem::create_directories(config_.commitsDir, ignored);
  writeLogFile(config_.commitsDir + "/" + logFileName(at), text);
}

std::string CommitEngine::putBack(const Entry& e, const RootWalk& walk) {
  // A move keeps a file's size and date: anything else in the Trash slot
  // (the user restored the file by hand and trashed another of the same
  // name since, or left a link there) is not the file that was moved.
  struct stat source;
  if (::lstat(e.trashPath->c_str(), &source) != 0 || !S_ISREG(source.st_mode) ||
      static_cast<std::int64_t>(source.st_size) != e.bytes ||
      !sameModificationTime(dateFromFileTime(source.st_mtim.tv_sec, source.st_mtim.tv_nsec),
                            e.modifiedAt)) {
    return kGoneFromTrash;
  }
  // Back only below a root, through folders only: a folder of the path
  // swapped for a link must not carry the file anywhere else.
  RootWalk::Parent parent = walk.openParent(e.path, true);
  if (parent.stop == RootWalk::Stop::outside || parent.stop == RootWalk::Stop::link) {
    return kOutsideRoots;
  }
  if (!parent.ok()) return parent.error.message();
  struct stat st;
  if (::fstatat(parent.dir.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return kPlaceTaken;
  }
  if (std::error_code err = Trash::putBack(*e.trashPath, parent.dir.get(), parent.name)) {
    // A file that appeared since the check is not replaced either.
    return err == std::errc::file_exists ? kPlaceTaken : err.message();
  }
  return {};
}

CommitEngine::Outcome CommitEngine::undo(const std::vector<std::string>& paths) {
  Outcome outcome;
  const RootWalk walk(config_.roots);
  JournalFile::Batch batch(journal_);
  for (const std::string& path : paths) {
    const Entry* current = entry(path);
    if (!current || current->state != State::trashed || !current->trashPath) continue;
    Entry e = *current;
    if (std::string reason = putBack(e, walk); !reason.empty()) {
      outcome.failed.push_back({e.id, reason});
      continue;
    }
    e.state = State::undone;
    e.at = now();
    if (std::error_code error = append(e)) {
      outcome.unjournalled.push_back(e);
      outcome.journalError = error;
    }
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
