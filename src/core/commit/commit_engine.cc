#include "core/commit/commit_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unordered_set>

#include "core/commit/containment.h"
#include "core/commit/journal_line.h"
#include "core/commit/trash.h"
#include "shared/file_util.h"
#include "shared/unique_fd.h"

namespace tallowick {

namespace {

using codec::field;
using codec::optionalField;

std::string parentDirectory(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

// The canonical path of an open folder, as the kernel names it: links
// resolved, no "." or "..". No value for a folder that was removed or lies
// outside this process's view of the file system.
std::optional<std::string> directoryPath(int fd) {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buf[PATH_MAX];
  ssize_t n = ::readlink(link, buf, sizeof buf);
  if (n <= 0 || n == static_cast<ssize_t>(sizeof buf) || buf[0] != '/') return std::nullopt;
  std::string path(buf, static_cast<std::size_t>(n));
  if (path.ends_with(" (deleted)")) return std::nullopt;
  return path;
}

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
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
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

CommitEngine::CommitEngine(Config config_, Clock clock)
    : config(std::move(config_)), clock_(std::move(clock)) {
  replay();
}

Date CommitEngine::now() const { return clock_ ? clock_() : std::chrono::system_clock::now(); }

void CommitEngine::replay() {
  int fd = ::open(config.journalURL.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
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
      ::close(fd);
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
  ::close(fd);
  // The last line has no line feed: a torn write. It is judged like any
  // other line, and the next append starts a fresh one.
  replayLines(std::string_view(buffer.get(), held));
  needsNewline_ = lastByte != '\n';
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

  int fd = journalFd_;
  if (fd < 0) {
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    fd = ::open(config.journalURL.c_str(), flags, 0600);
    if (fd < 0 && errno == ENOENT) {
      std::error_code ignored;
      std::filesystem::create_directories(parentDirectory(config.journalURL), ignored);
      fd = ::open(config.journalURL.c_str(), flags, 0600);
    }
    if (fd < 0) return;
    if (holdJournal_) journalFd_ = fd;
  }
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
  if (n > 0) journalWritten_ = true;
  if (fd != journalFd_) ::close(fd);
}

CommitEngine::JournalBatch::JournalBatch(CommitEngine& engine) : engine_(engine) {
  engine_.holdJournal_ = true;
  engine_.journalWritten_ = false;
}

CommitEngine::JournalBatch::~JournalBatch() { finish(); }

void CommitEngine::JournalBatch::finish() {
  if (!engine_.holdJournal_) return;
  engine_.holdJournal_ = false;
  if (engine_.journalFd_ < 0) return;
  // What the phone is told next must survive a power cut. One flush for the
  // whole batch; on journalling file systems it also carries the renames
  // made before it.
  if (engine_.journalWritten_) ::fdatasync(engine_.journalFd_);
  ::close(engine_.journalFd_);
  engine_.journalFd_ = -1;
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

  // The roots are resolved once for the whole batch; each file is then
  // judged by the folder the kernel resolves its path to.
  const std::vector<std::string> prefixes = Containment::rootPrefixes(config.roots);
  Trash::Mover mover;
  JournalBatch batch(*this);
  for (const Item* item : selected) {
    if (limit && outcome.trashed >= *limit) break;
    Entry e = *entry(item->path);
    std::optional<std::string> trashPath;
    std::optional<std::string> reason = moveOne(item->path, e, prefixes, mover, trashPath);
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
  batch.finish();
  writeCommitLog(device, outcome.trashed, outcome.freed, outcome.failed, selected);
  return outcome;
}

std::optional<std::string> CommitEngine::moveOne(const std::string& path, const Entry& e,
                                                 const std::vector<std::string>& prefixes,
                                                 Trash::Mover& mover,
                                                 std::optional<std::string>& trashPath) {
  // The folder is opened once; the containment check, the attribute read
  // and the move all act on that folder, so a link put in place of one of
  // its parents between the checks and the move cannot redirect the move.
  UniqueFd dir;
  std::optional<std::string> dirPath;
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? std::string() : path.substr(slash + 1);
  if (!path.empty() && path[0] == '/' && !name.empty() && name != "." && name != "..") {
    dir.reset(
        ::open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) dirPath = directoryPath(dir.get());
  }
  if (!dirPath) {
    // An unusual path, a folder that cannot be reached, or no /proc: the
    // same checks, by the path as written.
    std::string canonical = Containment::canonicalPath(path);
    if (canonical.empty() || !Containment::isBelow(canonical, prefixes)) return "outside roots";
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    if (static_cast<std::int64_t>(st.st_size) != e.bytes ||
        !sameModificationTime(dateFromFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
                              e.modifiedAt)) {
      return "modified since scan";
    }
    Trash::MoveResult moved = Trash::moveToTrash(path);
    if (!moved.ok()) return moved.error.message();
    trashPath = moved.trashPath;
    return std::nullopt;
  }

  struct statx st {};
  const bool exists = ::statx(dir.get(), name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                              STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_MNT_ID, &st) == 0;
  // A link is judged by where it leads: out of the roots is outside.
  std::string canonical = exists && S_ISLNK(st.stx_mode)
                              ? Containment::canonicalPath(path)
                              : (*dirPath == "/" ? "/" : *dirPath + "/") + name;
  if (canonical.empty() || !Containment::isBelow(canonical, prefixes)) return "outside roots";
  if (!exists) return "missing";
  const std::int64_t size = st.stx_mask & STATX_SIZE ? static_cast<std::int64_t>(st.stx_size) : -1;
  std::optional<Date> modified;
  if (st.stx_mask & STATX_MTIME) {
    modified = dateFromFileTime(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
  }
  if (size != e.bytes || !sameModificationTime(modified, e.modifiedAt)) {
    return "modified since scan";
  }
  Trash::MoveResult moved = mover.move(dir.get(), *dirPath, name, Trash::mountKey(st));
  if (!moved.ok()) return moved.error.message();
  trashPath = moved.trashPath;
  return std::nullopt;
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
  writeLogFile(config.commitsDir + "/" + logFileName(at), text);
}

CommitEngine::Outcome CommitEngine::undo(const std::vector<std::string>& paths) {
  Outcome outcome;
  JournalBatch batch(*this);
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
