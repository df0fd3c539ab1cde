#pragma once

// The commit engine: the journal of the phone's decisions, the guarded move
// of trashed files to the Trash, commit logs and undo.
//
// The journal ("decisions.jsonl") holds one JSON object per line, appended
// and never rewritten; the last readable line for a path is what counts. A
// state change is made in memory first and then appended with a single
// write(2) on a descriptor opened with O_APPEND, so a crash can at worst tear
// the last line, which replay skips like any line it cannot read.
//
// Not thread-safe: all calls must come from one sequence (the server queue).

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "shared/cards.h"
#include "shared/json_codec.h"
#include "shared/report.h"
#include "shared/uuid.h"

namespace tallowick {

namespace Trash {
class Mover;
}

// True when both dates are absent, or both present and less than one second
// apart. Journalled dates have whole seconds; the tolerance accepts them.
bool sameModificationTime(const std::optional<Date>& a, const std::optional<Date>& b);

class CommitEngine {
 public:
  struct Config {
    // The scan roots, as paths (file URLs are accepted too). Nothing outside
    // them is ever moved.
    std::vector<std::string> roots;
    // Path of the journal: storage + "/decisions.jsonl".
    std::string journalURL;
    // Directory of the commit logs: storage + "/commits".
    std::string commitsDir;
    std::int64_t maxItems = 500;
    std::int64_t maxBytes = 21474836480;  // 20 GiB

    Config(std::vector<std::string> roots, const std::string& storage);
  };

  enum class State { pending, trashed, failed, undone };

  struct Entry {
    std::string path;
    Uuid id;
    Action action = Action::skip;
    State state = State::pending;
    std::int64_t bytes = 0;
    std::optional<Date> modifiedAt;
    std::optional<std::string> trashPath;
    std::optional<std::string> reason;
    std::optional<std::string> device;
    Date at;

    Json toJson() const;
    // Throws DecodeError when a required key is missing or a value is not
    // of its type or case.
    static Entry fromJson(const Json& json);
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  // The result of a commit, or of an undo (then `trashed` counts the files
  // put back, `freed` their bytes, `moved` their updated entries).
  struct Outcome {
    std::int64_t trashed = 0;
    std::int64_t freed = 0;
    std::vector<CommitFailure> failed;
    std::vector<Entry> moved;
  };

  using Clock = std::function<Date()>;

  // Replays the journal at config.journalURL. An absent or unreadable
  // journal gives no entries. `clock` gives "now" for new entries and logs.
  explicit CommitEngine(Config config, Clock clock = nullptr);

  // The server replaces config.roots when the user changes the folders;
  // later commits check against the new roots.
  Config config;

  // Records a decision on a scanned item as a pending entry, replacing any
  // pending, failed or undone entry for its path. A trashed path is left as
  // it is (nothing is written) until it is undone.
  void record(const Item& item, Action action, const std::optional<std::string>& device);

  // Makes `entry` current for its path and appends it to the journal.
  // Journal write errors are absorbed: the entry is current in memory anyway.
  void append(const Entry& entry);

  // Withdraws a pending decision (it becomes undone); anything else is left.
  void cancelPending(const std::string& path);

  std::vector<Entry> pending() const;
  std::vector<Entry> trashedEntries() const;
  // The current entry for `path`, or nullptr. Valid until the next change.
  const Entry* entry(const std::string& path) const;
  const std::unordered_map<std::string, Entry>& entries() const { return entries_; }

  // Moves the items with a pending trash decision to the Trash, checking for
  // each, in this order: inside the roots ("outside roots"), still there
  // ("missing"), unchanged since the decision ("modified since scan"), then
  // the move (the system's error text). A batch over maxItems or maxBytes is
  // refused as a whole ("batch too large") and stays pending. Every moved or
  // failed file gets a journal line; every commit writes a log to
  // config.commitsDir. Stops before the (limit+1)-th move when a limit is
  // given. Never deletes anything.
  Outcome commit(const std::vector<Item>& items, const std::string& device,
                 std::optional<std::int64_t> limit = std::nullopt);

  // Puts trashed files back where they were: "gone from trash" when the
  // Trash copy is gone, "something is already there" when the place is
  // taken (nothing is ever replaced), else the system's error text. Paths
  // that are not trashed entries with a Trash path are skipped.
  Outcome undo(const std::vector<std::string>& paths);
  // undo(paths) for the trashed entries whose id is in `ids`.
  Outcome undo(const std::set<Uuid>& ids);

 private:
  void replay();
  // Replays the complete lines of `text` (line feeds between them).
  void replayLines(std::string_view text);
  Date now() const;
  void writeCommitLog(const std::string& device, std::int64_t trashed, std::int64_t freed,
                      const std::vector<CommitFailure>& failures,
                      const std::vector<const Item*>& selected);

  // Keeps the journal open for the appends of one commit or undo, and
  // flushes them to the disk once when it finishes (or goes).
  class JournalBatch {
   public:
    explicit JournalBatch(CommitEngine& engine);
    ~JournalBatch();
    JournalBatch(const JournalBatch&) = delete;
    JournalBatch& operator=(const JournalBatch&) = delete;
    void finish();

   private:
    CommitEngine& engine_;
  };

  // Checks one selected file (containment, presence, freshness, in this
  // order) and moves it to the Trash. Returns the failure reason, or no
  // value with `trashPath` set to where the file went.
  std::optional<std::string> moveOne(const std::string& path, const Entry& entry,
                                     const std::vector<std::string>& rootPrefixes,
                                     Trash::Mover& mover, std::optional<std::string>& trashPath);

  Clock clock_;
  std::unordered_map<std::string, Entry> entries_;
  // The journal ends in a torn line: the next append starts a fresh one.
  bool needsNewline_ = false;
  // Set while a JournalBatch is open; journalFd_ is then the open journal.
  bool holdJournal_ = false;
  bool journalWritten_ = false;
  int journalFd_ = -1;
};

template <>
struct EnumNames<CommitEngine::State> {
  static constexpr std::array<std::string_view, 4> names{"pending", "trashed", "failed", "undone"};
};

}  // namespace tallowick
