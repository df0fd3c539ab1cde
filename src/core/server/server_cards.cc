// The server's card queue: paging through decks, decisions and their undo,
// keeper changes, the staged list, card thumbnails and phone previews.

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "core/server/server.h"
#include "core/server/server_internal.h"
#include "core/server/shared_renders.h"
#include "core/thumbs/folder_bound.h"
#include "core/thumbs/thumbnailer.h"
#include "shared/card_frame.h"
#include "shared/file_util.h"
#include "shared/transport.h"

namespace tallowick {

using namespace server_internal;

namespace {

constexpr double kPreviewQuality = 0.7;
// How many cards past the one on screen have their previews rendered ahead,
// and at what size when the phone has not asked for one yet.
constexpr std::size_t kAheadCards = 3;
constexpr int kDefaultAheadPixel = 2048;

bool rendersPicture(Kind kind) { return kind == Kind::image || kind == Kind::video; }

}  // namespace

// ---- Decks --------------------------------------------------------------------

void Server::deckNext(const Message::DeckNext& request, Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  const CardSet& set = book_.cards();
  const std::vector<std::size_t>& list = set.deck(request.deck);
  std::size_t start = request.after < 0 ? 0 : std::min<std::size_t>(request.after, list.size());
  std::size_t end = std::min(start + static_cast<std::size_t>(std::max(request.n, 0)), list.size());

  std::vector<Card> cards;
  for (std::size_t i = start; i < end; ++i) cards.push_back(set.cards[list[i]]);
  peer.deck = request.deck;
  std::string line = "→ " + std::to_string(cards.size()) + " cards from #" + std::to_string(start) +
                     " of " + std::string(rawValue(request.deck));
  // Previews ahead are a guess at what the phone shows next; the batch is
  // what it waits for, so they start once it has gone. A cold batch's
  // thumbnails would otherwise share the pool with a 2048-pixel preview.
  // A preview asked for meanwhile has started its own run; it stands.
  stopAhead(peer);
  sendCards(
      peer, std::move(cards),
      [](std::vector<Card> cards) { return Message(Message::QueueBatch{std::move(cards)}); },
      std::move(line),
      [this, start, generation = peer.aheadGeneration](Peer& peer) {
        if (peer.aheadGeneration == generation) renderAhead(peer, start);
      });
}

void Server::staged(Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  sendCards(peer, book_.stagedCards(),
            [](std::vector<Card> cards) { return Message(Message::StagedBatch{std::move(cards)}); },
            {});
}

// ---- Decisions ------------------------------------------------------------------

void Server::logJournalErrors(const StagingBook::Result& result) {
  for (const std::error_code& error : result.journalErrors) log("! journal: " + error.message());
}

void Server::decision(const Message::Decision& request, const Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  StagingBook::Result result = book_.decide(request.id, request.action, *peer.device);
  if (!result.known) {
    log("? decision for unknown card " + request.id.shortString());
    return;
  }
  logJournalErrors(result);
  if (!result.journalErrors.empty()) return;
  refreshStatus();
  log("· " + std::string(rawValue(request.action)) + " " + request.id.shortString() + " — " +
      std::to_string(status_.pendingCount) + " files staged");
}

void Server::undo(const Uuid& id) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  const Card* card = book_.cards().find(id);
  if (!card) return;
  if (StagingBook::Result result = book_.undo(id); result.known) {
    logJournalErrors(result);
    refreshStatus();
    log("· un-staged " + id.shortString());
    return;
  }
  // No decision left: the card was committed, so undo means putting its
  // files back from the Trash.
  std::vector<std::string> paths;
  for (const Item& item : book_.cards().itemsFor(*card)) paths.push_back(item.path);
  CommitEngine::Outcome outcome = engine_.undo(paths);
  logJournalTrouble(outcome);
  log("· restored " + std::to_string(outcome.trashed) + " file(s) for " + id.shortString());
}

// ---- Keepers --------------------------------------------------------------------

void Server::setKeeper(const Message::SetKeeper& request, Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  StagingBook::Result result = book_.changeKeeper(request.groupID, request.itemID, *peer.device);
  if (!result.known) {
    log("? setKeeper for unknown group/member " + request.groupID.shortString());
    return;
  }
  logJournalErrors(result);
  storeReport();
  refreshStatus();
  log("· keeper of " + request.groupID.shortString() + " → " + request.itemID.shortString());
  sendCards(
      peer, {*book_.cards().find(request.groupID)},
      [](std::vector<Card> cards) { return Message(Message::CardUpdated{std::move(cards[0])}); },
      {});
}

// ---- Thumbnails -----------------------------------------------------------------

namespace {

bool isNonEmptyFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

}  // namespace

void Server::sendCards(Peer& peer, std::vector<Card> cards, CardReply reply, std::string line,
                       std::function<void(Peer&)> then) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  // Every reply to this phone waits for the thumbnails of this one; other
  // phones and the agent go on being served meanwhile.
  struct Pending {
    std::vector<Card> cards;
    CardReply reply;
    std::string line;
    std::function<void(Peer&)> then;
    std::size_t renders = 0;
  };
  auto pending = std::make_shared<Pending>(
      Pending{std::move(cards), std::move(reply), std::move(line), std::move(then), 0});
  auto send = [this](Peer& peer, Pending& pending) {
    if (!pending.line.empty()) log(pending.line);
    // Written straight into the frame, each thumbnail's text from the
    // cache: a page of photos is megabytes of Base64.
    std::optional<std::string> frame =
        Wire::encodeCards(pending.reply(std::move(pending.cards)),
                          [this](const FileCard& card) { return thumbnailText(card); });
    if (frame) peer.conn->send(std::move(*frame));
    if (pending.then) pending.then(peer);
  };

  std::vector<Item> missing = missingThumbnails(pending->cards);
  if (missing.empty()) {
    send(peer, *pending);
    return;
  }
  peer.waiting = true;
  pending->renders = missing.size();
  PeerKey key = peer.conn.get();
  for (const Item& item : missing) {
    renderThumbnail(
        item, userInitiatedPool(),
        [weak = weak_from_this(), key, pending, send](const std::optional<std::string>&) {
          if (--pending->renders > 0) return;
          auto self = weak.lock();
          if (!self) return;
          auto found = self->peers_.find(key);
          if (found == self->peers_.end()) return;  // the phone left; nobody to answer
          found->second.waiting = false;
          send(found->second, *pending);
          self->release(key);
        });
  }
}

std::vector<Item> Server::missingThumbnails(const std::vector<Card>& cards) const {
  std::vector<Item> missing;
  if (!thumbnailer_) return missing;
  std::unordered_set<Uuid> seen;
  auto check = [&](const FileCard& card) {
    if (card.thumb || !rendersPicture(card.kind)) return;
    auto item = book_.cards().itemsByID.find(card.id);
    if (item == book_.cards().itemsByID.end() || item->second.thumbPath) return;
    if (isNonEmptyFile(thumbnailer_->thumbnailPath(item->second))) return;
    if (seen.insert(card.id).second) missing.push_back(item->second);
  };
  for (const Card& card : cards) {
    if (const GroupCard* group = card.group()) {
      for (const FileCard& member : group->members) check(member);
    } else {
      check(*card.file());
    }
  }
  return missing;
}

std::shared_ptr<const std::string> Server::thumbnailText(const FileCard& card) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (!rendersPicture(card.kind) || !thumbnailer_) return nullptr;
  auto item = book_.cards().itemsByID.find(card.id);
  if (item == book_.cards().itemsByID.end()) return nullptr;
  // Rendered beforehand (see sendCards); a picture that could not be
  // rendered has no file and its card goes without.
  return thumbTexts_.text(item->second.thumbPath ? pathOf(*item->second.thumbPath)
                                                 : thumbnailer_->thumbnailPath(item->second));
}

void Server::renderThumbnail(const Item& item, asio::thread_pool& pool, SharedRenders::Done done) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  auto render = [weak = weak_from_this(), thumbnailer = thumbnailer_,
                 hook = config_.renderThumbnail, item]() -> std::optional<std::string> {
    // Renders still queued when the server goes are not worth waiting for.
    if (weak.expired()) return std::nullopt;
    return hook ? hook(*thumbnailer, item) : thumbnailer->thumbnail(item);
  };
  sharedRenders_->request(thumbnailer_->thumbnailPath(item), pool, std::move(render),
                          std::move(done));
}

void Server::appendPictures(const Card& card, std::vector<Item>& items) const {
  auto add = [&](const Uuid& id) {
    auto item = book_.cards().itemsByID.find(id);
    if (item != book_.cards().itemsByID.end() && rendersPicture(item->second.kind)) {
      items.push_back(item->second);
    }
  };
  if (const GroupCard* group = card.group()) {
    for (const FileCard& member : group->members) add(member.id);
  } else {
    add(card.id());
  }
}

void Server::warmThumbnails() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  std::uint64_t generation = ++warmGeneration_;
  if (!thumbnailer_) return;
  auto items = std::make_shared<std::vector<Item>>();
  for (const Card& card : book_.cards().cards) appendPictures(card, *items);
  warmFrom(generation, std::move(items), 0);
}

void Server::warmFrom(std::uint64_t generation, std::shared_ptr<const std::vector<Item>> items,
                      std::size_t next) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  // A newer card build started its own run.
  if (generation != warmGeneration_) return;
  // Thumbnails a batch already rendered cost no trip to the pool.
  while (next < items->size() && isNonEmptyFile(thumbnailer_->thumbnailPath((*items)[next])))
    ++next;
  if (next == items->size()) return;
  // One at a time, so a batch asking for a later thumbnail renders it
  // itself at once; one the batch is rendering already is waited for.
  renderThumbnail(
      (*items)[next], utilityPool(),
      [weak = weak_from_this(), generation, items, next](const std::optional<std::string>&) {
        if (auto self = weak.lock()) self->warmFrom(generation, items, next + 1);
      });
}

// ---- Previews -------------------------------------------------------------------

void Server::preview(const Message::Preview& request, Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  const Item* item = book_.cards().previewItem(request.id);
  if (item == nullptr || !thumbnailer_) {
    log("? preview for unknown card " + request.id.shortString());
    return;
  }
  cancelledPreviews_.erase(request.id);  // a new request overrides an earlier cancel
  peer.previewPixel = request.maxPixel;
  if (peer.deck) {
    const CardSet& set = book_.cards();
    const std::vector<std::size_t>& deck = set.deck(*peer.deck);
    auto holds = [&](std::size_t position) {
      const Card& card = set.cards[position];
      if (card.id() == request.id) return true;
      if (const GroupCard* group = card.group()) {
        return std::any_of(group->members.begin(), group->members.end(),
                           [&](const FileCard& member) { return member.id == request.id; });
      }
      return false;
    };
    auto shown = std::find_if(deck.begin(), deck.end(), holds);
    if (shown != deck.end()) renderAhead(peer, shown - deck.begin() + 1);
  }
  // The job's first step comes back here to read the cancel set, which
  // belongs to the queue, so a cancel that arrived meanwhile is seen.
  asio::post(userInitiatedPool(), [weak = weak_from_this(), queue = queue_, id = request.id,
                                   item = *item, maxPixel = request.maxPixel, conn = peer.conn] {
    asio::post(queue->io, [weak, id, item, maxPixel, conn] {
      if (auto self = weak.lock()) self->startPreview(id, item, maxPixel, conn);
    });
  });
}

void Server::startPreview(const Uuid& id, const Item& item, int maxPixel,
                          std::shared_ptr<TlsConnection> conn) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  const std::string shortID = id.shortString();
  if (cancelledPreviews_.contains(id)) {
    log("· preview " + shortID + " cancelled before render");
    return;
  }
  auto started = std::chrono::steady_clock::now();
  renderPreview(item, maxPixel,
                [weak = weak_from_this(), id, shortID, started,
                 conn = std::move(conn)](const std::optional<std::string>& data) {
                  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
                  std::size_t bytes = data ? data->size() : 0;
                  if (auto self = weak.lock()) {
                    self->log("→ preview " + shortID + " " + std::to_string(bytes / 1024) +
                              " KB in " + std::to_string(ms) + " ms");
                  }
                  Transport::send(
                      Message::PreviewData{id, data ? Bytes(data->begin(), data->end()) : Bytes{}},
                      conn);
                });
}

void Server::renderPreview(const Item& item, int maxPixel, SharedRenders::Done done) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  maxPixel = std::min(maxPixel, Thumbnailer::kMaxPreviewPixel);
  auto render = [thumbnailer = thumbnailer_, item, maxPixel,
                 bound = config_.previewFolderBytes]() -> std::optional<std::string> {
    std::optional<std::string> data = thumbnailer->preview(item, maxPixel, kPreviewQuality);
    boundFolderSize(thumbnailer->previewFolder(), bound);
    return data;
  };
  // Keyed by the file it makes: a request for a preview being rendered
  // ahead waits for that render.
  sharedRenders_->request(thumbnailer_->previewPath(item, maxPixel), userInitiatedPool(),
                          std::move(render), std::move(done));
}

void Server::renderAhead(Peer& peer, std::size_t position) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  std::uint64_t generation = ++peer.aheadGeneration;
  if (!thumbnailer_ || !peer.deck) return;
  const CardSet& set = book_.cards();
  const std::vector<std::size_t>& deck = set.deck(*peer.deck);
  auto items = std::make_shared<std::vector<Item>>();
  for (std::size_t i = position; i < deck.size() && i < position + kAheadCards; ++i) {
    appendPictures(set.cards[deck[i]], *items);
  }
  aheadFrom(peer.conn.get(), generation, std::move(items), 0);
}

void Server::aheadFrom(PeerKey key, std::uint64_t generation,
                       std::shared_ptr<const std::vector<Item>> items, std::size_t next) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  auto peer = peers_.find(key);
  // Gone, or a newer request started its own run.
  if (peer == peers_.end() || peer->second.aheadGeneration != generation) return;
  const int maxPixel =
      std::min(peer->second.previewPixel > 0 ? peer->second.previewPixel : kDefaultAheadPixel,
               Thumbnailer::kMaxPreviewPixel);
  auto wanted = [&](const Item& item) {
    return !cancelledPreviews_.contains(item.id) &&
           !isNonEmptyFile(thumbnailer_->previewPath(item, maxPixel));
  };
  while (next < items->size() && !wanted((*items)[next])) ++next;
  if (next == items->size()) return;
  // One at a time, so the phone's own requests find a free thread; nothing
  // is sent: the phone asks when it gets there.
  renderPreview(
      (*items)[next], maxPixel,
      [weak = weak_from_this(), key, generation, items, next](const std::optional<std::string>&) {
        if (auto self = weak.lock()) self->aheadFrom(key, generation, items, next + 1);
      });
}

}  // namespace tallowick
