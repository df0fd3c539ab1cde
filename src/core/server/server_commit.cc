// The server's commit of staged cards and the phone's request to empty the
// Trash.

#include <cstdio>

#include "core/commit/trash.h"
#include "core/server/server.h"
#include "core/server/server_internal.h"
#include "shared/transport.h"

namespace tallowick {

namespace {

constexpr const char* kEmptyTrashRefused = "commit first, then confirm within 10 minutes";
constexpr const char* kEmptyTrashFailed = "Finder declined";

std::string megabytes(std::int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

}  // namespace

void Server::commit(const Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  const std::string& device = *peer.device;
  StagingBook::Staged staged = book_.staged();
  const std::vector<Item>& items = staged.items;
  if (items.empty()) {
    log("✓ commit: nothing staged");
    Transport::send(Message::CommitResult{}, peer.conn);
    return;
  }

  CommitEngine::Outcome outcome = engine_.commit(items, device);
  std::vector<CommitFailure> cardFailures = book_.committed(staged, outcome);
  for (const CommitFailure& failure : cardFailures) {
    log("! " + failure.id.shortString() + ": " + failure.reason);
  }
  logJournalTrouble(outcome);
  if (outcome.trashed >= 1) trashPolicy_.lastCommit = EmptyTrashPolicy::LastCommit{device, now()};
  refreshStatus();
  log("✓ commit: trashed " + std::to_string(outcome.trashed) + "/" + std::to_string(items.size()) +
      ", " + megabytes(outcome.freed) + " freed, " + std::to_string(cardFailures.size()) +
      " refused");
  emit(Event{Event::Committed{outcome.trashed, outcome.freed}});
  Transport::send(Message::CommitResult{static_cast<int>(outcome.trashed), outcome.freed,
                                        std::move(cardFailures)},
                  peer.conn);
}

void Server::logJournalTrouble(const CommitEngine::Outcome& outcome) {
  if (!outcome.journalError) return;
  const std::string error = "! journal: " + outcome.journalError.message();
  if (outcome.unjournalled.empty()) return log(error);
  for (const CommitEngine::Entry& e : outcome.unjournalled) {
    if (e.state == CommitEngine::State::trashed) {
      log(error + " — " + e.path + " is in the Trash as " + e.trashPath.value_or("?"));
    } else {
      log(error + " — " + e.path + " is back in its place");
    }
  }
}

void Server::emptyTrash(bool confirm, const Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (!trashPolicy_.allows(*peer.device, now(), confirm)) {
    log("! empty trash refused");
    Transport::send(Message::Refused{kEmptyTrashRefused}, peer.conn);
    return;
  }
  // Blocks the queue until the Trash is empty, as asking the desktop would.
  Trash::EmptyResult result =
      config_.trashTopdirs ? Trash::emptyTrash(*config_.trashTopdirs) : Trash::emptyTrash();
  if (!result.ok()) {
    // The phone hears no more than that; the user at the desktop learns what
    // is left.
    log("! trash not emptied: " + result.failedPath + ": " + result.error.message());
    Transport::send(Message::Refused{kEmptyTrashFailed}, peer.conn);
    return;
  }
  log("✓ trash emptied at the phone's request");
  Transport::send(Message::Ok{}, peer.conn);
}

}  // namespace tallowick
