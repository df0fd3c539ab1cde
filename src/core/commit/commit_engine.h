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
#include <system_error>
#include <unordered_map>
#include <vector>

#include "core/commit/journal_file.h"
#include "shared/cards.h"
#include "shared/json_codec.h"
#include "shared/report.h"
#include "shared/uuid.h"

namespace tallowick {

namespace Trash {
class Mover;
}
class RootWalk;

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
    // Files that were moved but whose journal line could not be written,
    // and why: after a restart nothing remembers where they went, so the
    // caller tells the user.
    std::vector<Entry> unjournalled;
    std::error_code journalError;
  };

  using Clock = std::function<Date()>;

  // Replays the journal at config.journalURL. An absent or unreadable
  // journal gives no entries. `clock` gives "now" for new entries and logs.
  explicit CommitEngine(Config config, Clock clock = nullptr);

  // Replaces the roots when the user changes the folders; later commits and
  // undos check against the new ones.
  void setRoots(std::vector<std::string> roots) { config_.roots = std::move(roots); }

  // Records a decision on a scanned item as a pending entry, replacing any
  // pending, failed or undone entry for its path. A trashed path is left as
  // it is (nothing is written) until it is undone. A decision that cannot be
  // journalled is not recorded at all (the earlier entry stays) and its
  // error is returned: the journal is the only record of decisions.
  std::error_code record(const Item& item, Action action, const std::optional<std::string>& device);

  // Makes `entry` current for its path and appends it to the journal.
  // Returns the write error; the entry is current in memory either way.
  std::error_code append(const Entry& entry);

  // Withdraws a pending decision (it becomes undone); anything else is left.
  // Returns the journal's write error, if any.
  std::error_code cancelPending(const std::string& path);

  std::vector<Entry> pending() const;
  std::vector<Entry> trashedEntries() const;
  // The current entry for `path`, or nullptr. Valid until the next change.
  const Entry* entry(const std::string& path) const;
  const std::unordered_map<std::string, Entry>& entries() const { return entries_; }

  // Moves the items with a pending trash decision to the Trash, checking for
  // each, in this order: inside the roots ("outside roots"), still there
  // ("missing"), unchanged since the decision ("modified since scan"), then
  // the move (the system's error text). The folders on the way from the
  // root are opened without following links: a link there means the file
  // changed since the scan, which followed none ("modified since scan"),
  // unless it leads out of the roots. A batch over maxItems or maxBytes is
  // refused as a whole ("batch too large") and stays pending, and so is a
  // batch when the journal has no room for its lines ("journal
  // unwritable"). Every moved or
  // failed file gets a journal line; every commit writes a log to
  // config.commitsDir. Stops before the (limit+1)-th move when a limit is
  // given. Never deletes anything.
  Outcome commit(const std::vector<Item>& items, const std::string& device,
                 std::optional<std::int64_t> limit = std::nullopt);

  // Puts trashed files back where they were: "gone from trash" when the
  // Trash copy is gone or is not the file that was moved (a regular file of
  // the entry's size and date), "outside roots" when the place is not below
  // a current root through folders only (no link; missing folders are
  // made), "something is already there" when the place is taken (nothing
  // is ever replaced), else the system's error text. Paths that are not
  // trashed entries with a Trash path are skipped.
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

  // What became of one file of a commit: moved (to `trashPath`, when the
  // Trash named one) or refused for `reason`.
  struct FileOutcome {
    std::string reason;
    std::optional<std::string> trashPath;
    bool moved() const { return reason.empty(); }
  };
  // Checks one selected file (containment, presence, freshness, in this
  // order) on its folder opened from the root, and moves it to the Trash.
  FileOutcome moveOne(const std::string& path, const Entry& entry, const RootWalk& walk,
                      const std::vector<std::string>& rootPrefixes, Trash::Mover& mover);
  // The reason undo cannot put `e` back, or empty after it did.
  std::string putBack(const Entry& e, const RootWalk& walk);

  Config config_;
  Clock clock_;
  std::unordered_map<std::string, Entry> entries_;
  JournalFile journal_;
};

template <>
struct EnumNames<CommitEngine::State> {
  static constexpr std::array<std::string_view, 4> names{"pending", "trashed", "failed", "undone"};
};

}  // namespace tallowick
