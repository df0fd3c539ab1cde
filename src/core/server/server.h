#pragma once
// The agent's side of the connection with the phone. The server owns the
// storage directory, the commit engine, the paired phones and the pairing
// code, the TLS listener (advertised over DNS-SD) and the connected phones,
// and the cards built from the last scan report. It reports to its owner
// through events.
//
// Threading: everything the server holds lives on one queue,
// "tallowick.server": an io_context run by one thread the server owns.
// Construction runs on the caller's thread; every public operation after it
// only posts work to the queue and returns. onEvent is called on the queue.
// Scans and thumbnail renders run on shared thread pools and post their
// results back; a phone whose batch waits for thumbnails has its later
// messages held until the batch is sent, so its replies keep their order.
// Every handler holds the server weakly: work for a server that is gone is
// dropped.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <asio.hpp>

#include "core/commit/commit_engine.h"
#include "core/pairing/pairing_guard.h"
#include "core/pairing/pairing_store.h"
#include "core/scan/scan_root.h"
#include "core/server/card_set.h"
#include "core/server/empty_trash_policy.h"
#include "core/server/job_counter.h"
#include "core/server/sequence_checker.h"
#include "core/server/server_status.h"
#include "core/server/shared_renders.h"
#include "core/server/staging_book.h"
#include "core/thumbs/thumb_text_cache.h"
#include "shared/credential.h"
#include "shared/message.h"
#include "shared/report.h"
#include "shared/tls_connection.h"
#include "shared/tls_listener.h"

namespace tallowick {

class ServiceAdvertiser;
class Thumbnailer;

class Server : public std::enable_shared_from_this<Server> {
 public:
  using Status = ServerStatus;
  using Progress = ServerProgress;
  using Event = ServerEvent;
  using Clock = std::function<Date()>;

  struct Config {
    std::string name;  // shown to the phone; the DNS-SD name
    std::vector<ScanRoot> scanRoots;
    std::int64_t minBytes = 1048576;
    std::string storage;    // absolute path of the storage directory
    std::string reportURL;  // absolute path of "report.json"
    bool advertise = true;

    // Address the listener binds; empty means every interface.
    std::string bindAddress;
    // Port the first listener of start() asks for; 0 means any. A restart
    // keeps whatever port the listener had.
    std::uint16_t port = 0;
    // "Now" for the pairing guard, the store and the journal; the system
    // clock when empty.
    Clock clock;
    // A connection that has not said hello this long after it was accepted
    // (whether or not TLS completed) is closed.
    std::chrono::milliseconds helloTimeout = std::chrono::seconds(30);
    // Connections that have not said hello yet, at most: one more closes
    // the oldest of them, so a flood of idle connections cannot take the
    // descriptors that phones and the journal need.
    std::size_t maxUngreeted = 64;
    // Period of the code-rotation tick.
    std::chrono::milliseconds tickInterval = std::chrono::seconds(15);
    // Mount points whose Trash an empty-trash request clears besides the
    // home Trash; every mounted file system when absent.
    std::optional<std::vector<std::string>> trashTopdirs;
    // Renders the thumbnail file of an item, on a pool thread; the
    // thumbnailer's own thumbnail() when empty. Tests hold renders back with
    // it.
    std::function<std::optional<std::string>(const Thumbnailer&, const Item&)> renderThumbnail;
    // The preview folder is kept at most this big, its oldest files going
    // first.
    std::uintmax_t previewFolderBytes = 256 * 1024 * 1024;

    // Folders given as absolute paths or file URLs, every switch on.
    Config(std::string name, const std::vector<std::string>& roots, std::int64_t minBytes,
           std::string storage);
    Config(std::string name, std::vector<ScanRoot> scanRoots, std::int64_t minBytes,
           std::string storage);

    // The file URLs of the scan roots, as the commit engine takes them.
    std::vector<std::string> rootURLs() const;
  };

  // Builds the storage layout, the commit engine (replaying its journal),
  // the pairing store and guard, and the cards of `report`, then starts the
  // queue's thread. `code` is the pairing code to begin with (six digits); a
  // new one is drawn when absent. Not listening yet.
  static std::shared_ptr<Server> make(Config config, std::optional<Report> report = std::nullopt,
                                      std::optional<std::string> code = std::nullopt);
  // Waits for renders in flight (at most one per job: they stop at their
  // next item), stops the queue's thread; connections and the listener
  // close. A scan still running is abandoned.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Each of these posts its work to the queue and returns at once.
  void setOnEvent(std::function<void(const Event&)> onEvent);
  void start();
  void stop();
  void rescan();
  void setScanRoots(std::vector<ScanRoot> scanRoots);
  void restartListener();
  void forgetDevice(std::string deviceID);
  // Runs `job` on the queue (for owners that need to read state there).
  void post(std::function<void(Server&)> job);

  // Queue-only accessors. REQUIRES: called on the queue (from post()).
  const Status& status() const;
  const Config& config() const;
  const PairingGuard& codeGuard() const;
  const PairingStore& pairing() const;
  // The PSK identities a handshake is accepted with now.
  std::vector<Transport::Credential> credentials() const;
  // The cards of the last report, with the decisions on them.
  const CardSet& cardSet() const;
  const std::unordered_map<Uuid, Action>& decisions() const;
  // Null when its directory could not be created.
  const Thumbnailer* thumbnailer() const;

 private:
  struct Queue;
  using PeerKey = const TlsConnection*;
  // One accepted connection: ready once TLS completed, greeted once its
  // hello was accepted (then `device` labels it in journals and logs).
  struct Peer {
    std::shared_ptr<TlsConnection> conn;
    bool ready = false;
    std::optional<std::string> identity;
    std::optional<std::string> device;
    std::unique_ptr<asio::steady_timer> helloTimer;
    // While a reply waits for thumbnails, the phone's later messages wait
    // in `held`, so its replies keep the order of its requests.
    bool waiting = false;
    std::deque<Message> held;
    std::uint64_t acceptedNumber = 0;  // order of acceptance
    // Previews are rendered ahead of the phone at the size it last asked
    // for, a few cards down the deck it last paged through; each request
    // supersedes the run started by the one before.
    int previewPixel = 0;
    std::optional<DeckID> deck;
    std::uint64_t aheadGeneration = 0;
  };
  // Wraps cards with their thumbnails into the reply a request asked for.
  using CardReply = std::function<Message(std::vector<Card>)>;

  Server(Config config, std::optional<Report> report, std::optional<std::string> code,
         std::shared_ptr<Queue> queue);
  void launch();
  template <class Fn>
  void enqueue(Fn fn);

  Date now() const;
  void emit(Event event);
  // Reports the whole status: after anything in it changed.
  void publishStatus();
  void log(std::string line);

  // Listener.
  // `retryOnAnyPort`: a failure to bind `port` falls back once to any port.
  void listen(std::optional<std::uint16_t> port, bool retryOnAnyPort);
  void listenerState(const std::shared_ptr<TlsListener>& listener, bool retryOnAnyPort,
                     TlsListener::State state, const std::string& error);
  void restart();
  void publishPairing();
  void tick();
  void scheduleTick();
  void doStop();

  // Peers.
  void accept(std::shared_ptr<TlsConnection> connection);
  void connectionState(PeerKey key, TlsConnection::State state, const std::string& error);
  void receiveEnded(const std::weak_ptr<TlsConnection>& connection,
                    const std::optional<std::string>& reason);
  void helloTimedOut(const std::weak_ptr<TlsConnection>& connection);
  void removePeer(PeerKey key);
  // Closes the oldest connections that have not said hello until fewer
  // than config_.maxUngreeted are left. They are not counted as failed
  // pairings: the agent chose to close them.
  void makeRoomForAPeer();
  // The largest frame `key` may send now: a hello is small.
  std::uint32_t frameLimit(PeerKey key) const;
  void handle(const Message& message, PeerKey key);
  // Handles the messages the peer sent while it waited, until it waits again.
  void release(PeerKey key);
  void hello(const Message::Hello& hello, Peer& peer);
  bool anyPeerReady() const;
  bool anyPeerGreeted() const;
  void sendToGreeted(const Message& message);

  // Decks and the card queue.
  void deckNext(const Message::DeckNext& request, Peer& peer);
  void decision(const Message::Decision& request, const Peer& peer);
  void undo(const Uuid& id);
  void setKeeper(const Message::SetKeeper& request, Peer& peer);
  void staged(Peer& peer);
  // Logs each journal error the book met.
  void logJournalErrors(const StagingBook::Result& result);
  // Sends `cards` to the peer as `reply` makes them, each with its
  // thumbnails; `line` is logged when it goes, and `then` runs right after,
  // before the peer's held messages. Thumbnails not on disk yet are
  // rendered off the queue first, and the peer waits meanwhile.
  void sendCards(Peer& peer, std::vector<Card> cards, CardReply reply, std::string line,
                 std::function<void(Peer&)> then = {});
  // The items of `cards` whose thumbnail is still to be rendered, once each.
  std::vector<Item> missingThumbnails(const std::vector<Card>& cards) const;
  // The Base64 text of the card's thumbnail already on disk, for the reply;
  // null for a card without a picture or whose picture could not be
  // rendered. Renders nothing.
  std::shared_ptr<const std::string> thumbnailText(const FileCard& card);

  // Previews.
  void preview(const Message::Preview& request, Peer& peer);
  // Renders a preview of `item` off the queue unless `id`, the id asked
  // for, was cancelled meanwhile; the reply carries `id`.
  void startPreview(const Uuid& id, const Item& item, int maxPixel,
                    std::shared_ptr<TlsConnection> conn);
  // Renders (or reads) the preview of `item` at `maxPixel` on the pool,
  // keeping the preview folder within its bound.
  // REQUIRES: a thumbnailer.
  void renderPreview(const Item& item, int maxPixel, SharedRenders::Done done);
  // Starts rendering the previews of the few cards of the peer's deck from
  // `position` on, superseding its earlier run; stopAhead only supersedes.
  void stopAhead(Peer& peer) { ++peer.aheadGeneration; }
  void renderAhead(Peer& peer, std::size_t position);
  void aheadFrom(PeerKey key, std::uint64_t generation,
                 std::shared_ptr<const std::vector<Item>> items, std::size_t next);
  // Renders the thumbnail of `item` on the pool (shared with any render of
  // it in flight) and calls `done` on the queue.
  // REQUIRES: a thumbnailer.
  void renderThumbnail(const Item& item, asio::thread_pool& pool, SharedRenders::Done done);
  // Appends the items of the card (a group's members, keeper included) that
  // have a picture to render.
  void appendPictures(const Card& card, std::vector<Item>& items) const;
  void warmThumbnails();
  // Renders the warm-up's thumbnails from `next` on, one at a time.
  void warmFrom(std::uint64_t generation, std::shared_ptr<const std::vector<Item>> items,
                std::size_t next);

  // Commit and the Trash.
  void commit(const Peer& peer);
  void emptyTrash(bool confirm, const Peer& peer);
  // Logs what a commit or undo could not journal: the error, and each file
  // moved without its line, with where it went.
  void logJournalTrouble(const CommitEngine::Outcome& outcome);

  // Cards, status and scans.
  // Writes the report at reportURL for the next launch, whole or not at
  // all; a failure leaves the old one, and the next scan writes it again.
  void storeReport();
  // Copies the book's counts into the status and reports it.
  void refreshStatus();
  Message::SummaryResult makeSummaryResult() const;
  void startScan();
  void scanProgress(std::int64_t done, std::int64_t total);
  void scanFinished(Report report, int cacheHits, int cacheLookups);
  void scanFailed(const std::string& error);

  std::shared_ptr<Queue> queue_;  // first: outlives every member below
  SequenceChecker sequence_;
  std::function<void(const Event&)> onEvent_;
  Config config_;
  std::shared_ptr<TlsListener> listener_;
  // Shared with preview and warm-up jobs, which may outlive the server.
  std::shared_ptr<const Thumbnailer> thumbnailer_;
  std::map<PeerKey, Peer> peers_;
  std::uint64_t acceptedCount_ = 0;
  CommitEngine engine_;
  PairingStore pairing_;
  PairingGuard codeGuard_;
  std::unique_ptr<asio::steady_timer> rotateTimer_;
  bool restartWhenIdle_ = false;
  StagingBook book_;  // after engine_, which it journals to
  // The thumbnails that replies carried last, encoded: some thousand
  // thumbnails of 640 pixels, a few decks' worth.
  ThumbTextCache thumbTexts_{32 * 1024 * 1024};
  // Thumbnails being rendered, shared by the warm-up and card replies.
  std::shared_ptr<SharedRenders> sharedRenders_;
  // A newer card build stops the warm-up of older ones at their next item.
  std::uint64_t warmGeneration_ = 0;
  std::unordered_set<Uuid> cancelledPreviews_;
  // Previews and warm-up renders in flight; the destructor waits for them.
  JobCounter renders_;
  EmptyTrashPolicy trashPolicy_;
  Status status_;
  std::unique_ptr<ServiceAdvertiser> advertiser_;
};

}  // namespace tallowick
