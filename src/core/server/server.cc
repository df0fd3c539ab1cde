#include "core/server/server.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <unordered_set>

#include "core/scan/hash_cache.h"
#include "core/scan/pipeline.h"
#include "core/server/descriptor_limit.h"
#include "core/server/server_internal.h"
#include "core/server/service_advertiser.h"
#include "core/server/shared_renders.h"
#include "core/server/stored_report.h"
#include "core/thumbs/thumbnailer.h"
#include "shared/file_util.h"
#include "shared/psk.h"
#include "shared/transport.h"
#include "shared/wire.h"

namespace tallowick {

using namespace server_internal;

// ---- Config -----------------------------------------------------------------

Server::Config::Config(std::string name, const std::vector<std::string>& folders,
                       std::int64_t minBytes, std::string storage)
    : name(std::move(name)), minBytes(minBytes), storage(std::move(storage)) {
  for (const std::string& folder : folders) scanRoots.push_back(ScanRoot::fromPath(pathOf(folder)));
  reportURL = this->storage + "/report.json";
}

Server::Config::Config(std::string name, std::vector<ScanRoot> scanRoots, std::int64_t minBytes,
                       std::string storage)
    : name(std::move(name)),
      scanRoots(std::move(scanRoots)),
      minBytes(minBytes),
      storage(std::move(storage)) {
  reportURL = this->storage + "/report.json";
}

std::vector<std::string> Server::Config::rootURLs() const {
  std::vector<std::string> urls;
  for (const ScanRoot& root : scanRoots) urls.push_back(root.url);
  return urls;
}

// ---- Construction and the queue ----------------------------------------------

std::shared_ptr<Server> Server::make(Config config, std::optional<Report> report,
                                     std::optional<std::string> code) {
  // Before anything is opened: phones, the journal and the Trash all need
  // descriptors, and idle connections from the network must not use them up.
  raiseDescriptorLimit();
  std::shared_ptr<Server> server(
      new Server(std::move(config), std::move(report), std::move(code), std::make_shared<Queue>()));
  server->launch();
  return server;
}

Server::Server(Config config, std::optional<Report> report, std::optional<std::string> code,
               std::shared_ptr<Queue> queue)
    : queue_(std::move(queue)),
      config_(std::move(config)),
      engine_(CommitEngine::Config(config_.rootURLs(), config_.storage), config_.clock),
      pairing_(config_.storage + "/devices.json"),
      codeGuard_(code.value_or(PSK::newCode()), now()),
      book_(engine_) {
  // The directory holds the paired phones' keys: private to the user.
  createDirectories(config_.storage, 0700);
  try {
    thumbnailer_ = std::make_shared<Thumbnailer>(config_.storage + "/thumbs");
  } catch (const std::exception&) {
    // Runs without thumbnails and previews.
  }
  book_.load(std::move(report));
  status_.roots = config_.scanRoots;
  refreshStatus();
  publishPairing();
}

void Server::launch() {
  std::weak_ptr<Server> weak = weak_from_this();
  sharedRenders_ = std::make_shared<SharedRenders>(queue_->io, renders_);
  asio::post(queue_->io, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->sequence_.attach();
    // The warm-up holds the server weakly, which it cannot do before make()
    // has handed the server to its first owner.
    self->warmThumbnails();
  });
  queue_->thread = std::thread([queue = queue_] { queue->io.run(); });
}

Server::~Server() {
  renders_.waitIdle();
  queue_->work.reset();
  queue_->io.stop();
  if (queue_->thread.joinable()) {
    if (queue_->thread.get_id() == std::this_thread::get_id()) {
      // The last owner let go inside a handler: the thread ends by itself
      // once this handler returns, and keeps the queue alive until then.
      queue_->thread.detach();
    } else {
      queue_->thread.join();
    }
  }
  // The queue no longer runs: close the sockets now rather than leave them
  // to the io_context's teardown.
  if (listener_) listener_->cancel();
  std::map<PeerKey, Peer> peers = std::move(peers_);
  peers_.clear();
  for (auto& [key, peer] : peers) peer.conn->cancel();
  rotateTimer_.reset();
}

template <class Fn>
void Server::enqueue(Fn fn) {
  asio::post(queue_->io, [weak = weak_from_this(), fn = std::move(fn)]() mutable {
    if (auto self = weak.lock()) fn(*self);
  });
}

void Server::setOnEvent(std::function<void(const Event&)> onEvent) {
  enqueue([onEvent = std::move(onEvent)](Server& s) mutable { s.onEvent_ = std::move(onEvent); });
}
void Server::start() {
  // A port the user asked for is not silently swapped for another one.
  enqueue([](Server& s) {
    s.listen(s.config_.port ? std::optional<std::uint16_t>(s.config_.port) : std::nullopt, false);
  });
}
void Server::stop() {
  enqueue([](Server& s) { s.doStop(); });
}
void Server::rescan() {
  enqueue([](Server& s) { s.startScan(); });
}
void Server::restartListener() {
  enqueue([](Server& s) { s.restart(); });
}
void Server::post(std::function<void(Server&)> job) { enqueue(std::move(job)); }

void Server::setScanRoots(std::vector<ScanRoot> scanRoots) {
  enqueue([scanRoots = std::move(scanRoots)](Server& s) {
    s.config_.scanRoots = scanRoots;
    s.engine_.setRoots(s.config_.rootURLs());
    s.status_.roots = scanRoots;
    s.publishStatus();
    s.sendToGreeted(s.makeSummaryResult());
  });
}

void Server::forgetDevice(std::string deviceID) {
  enqueue([deviceID = std::move(deviceID)](Server& s) {
    s.pairing_.forget(deviceID);
    std::vector<std::shared_ptr<TlsConnection>> gone;
    for (auto& [key, peer] : s.peers_) {
      if (peer.device == deviceID) gone.push_back(peer.conn);
    }
    for (auto& conn : gone) conn->cancel();
    s.publishPairing();
  });
}

const Server::Status& Server::status() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  return status_;
}
const Server::Config& Server::config() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  return config_;
}
const PairingGuard& Server::codeGuard() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  return codeGuard_;
}
const PairingStore& Server::pairing() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  return pairing_;
}
const CardSet& Server::cardSet() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  return book_.cards();
}
const std::unordered_map<Uuid, Action>& Server::decisions() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  return book_.decisions();
}
const Thumbnailer* Server::thumbnailer() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  return thumbnailer_.get();
}

Date Server::now() const { return config_.clock ? config_.clock() : currentDate(); }

void Server::emit(Event event) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (onEvent_) onEvent_(event);
}

void Server::publishStatus() { emit(Event{Event::Status{status_}}); }

void Server::log(std::string line) { emit(Event{Event::Log{std::move(line)}}); }

// ---- Listener ---------------------------------------------------------------

std::vector<Transport::Credential> Server::credentials() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  std::vector<Transport::Credential> list;
  if (auto key = codeGuard_.pairingKey(now())) {
    list.push_back({std::string(PSK::pairingIdentity), *key});
  }
  list.push_back({pairing_.offer().id, pairing_.offer().key});
  for (const PairingStore::Device& device : pairing_.devices()) {
    list.push_back({device.deviceID, device.key});
  }
  return list;
}

void Server::listen(std::optional<std::uint16_t> port, bool retryOnAnyPort) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  std::vector<std::string> identities;
  for (const auto& credential : credentials()) identities.push_back(credential.identity);
  log("listening with identities: " + joined(identities, ", "));

  // The listener asks for the identities at every handshake, so a new code,
  // a new offer or a forgotten phone counts at once, without a restart that
  // would have to wait for connected phones to leave.
  std::weak_ptr<Server> weak = weak_from_this();
  Transport::CredentialSource source = [weak] {
    auto self = weak.lock();
    return self ? self->credentials() : std::vector<Transport::Credential>{};
  };
  std::shared_ptr<TlsListener> listener;
  try {
    listener = TlsListener::make(Transport::parameters(std::move(source)), port.value_or(0),
                                 config_.bindAddress);
  } catch (const std::exception& e) {
    log(std::string("! listener not created: ") + e.what());
    return;
  }
  retryOnAnyPort = retryOnAnyPort && port.has_value() && *port != 0;

  if (!rotateTimer_) {
    rotateTimer_ = std::make_unique<asio::steady_timer>(queue_->io);
    scheduleTick();
  }

  std::weak_ptr<TlsListener> weakListener = listener;
  listener->setStateHandler(
      [weak, weakListener, retryOnAnyPort](TlsListener::State state, const std::string& error) {
        auto self = weak.lock();
        auto current = weakListener.lock();
        if (self && current) self->listenerState(current, retryOnAnyPort, state, error);
      });
  listener->setNewConnectionHandler([weak](std::shared_ptr<TlsConnection> connection) {
    if (auto self = weak.lock()) self->accept(std::move(connection));
  });
  listener_ = listener;
  listener->start(queue_->io.get_executor());
}

void Server::listenerState(const std::shared_ptr<TlsListener>& listener, bool retryOnAnyPort,
                           TlsListener::State state, const std::string& error) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  // News from a listener that was already replaced says nothing about the
  // current one.
  if (listener != listener_) return;
  switch (state) {
    case TlsListener::State::ready: {
      status_.listening = true;
      publishStatus();
      std::optional<std::uint16_t> port = listener->port();
      if (config_.advertise && port && *port != 0 && !config_.name.empty()) {
        if (!advertiser_) {
          std::weak_ptr<Server> weak = weak_from_this();
          advertiser_ = std::make_unique<ServiceAdvertiser>(queue_->io.get_executor(),
                                                            [weak](const std::string& line) {
                                                              if (auto self = weak.lock())
                                                                self->log(line);
                                                            });
        }
        advertiser_->start(config_.name, *port);
      }
      emit(Event{Event::Listening{port}});
      break;
    }
    case TlsListener::State::failed:
      status_.listening = false;
      publishStatus();
      if (advertiser_) advertiser_->stop();
      if (!retryOnAnyPort) {
        emit(Event{Event::ListenFailed{error}});
      } else {
        log("port busy after restart; re-listening on any port");
        listener_.reset();
        // Not from inside the failed listener's own start().
        enqueue([](Server& s) {
          if (!s.listener_) s.listen(std::nullopt, false);
        });
      }
      break;
    case TlsListener::State::cancelled:
      status_.listening = false;
      publishStatus();
      break;
    case TlsListener::State::setup:
      break;
  }
}

void Server::restart() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (!listener_) return;
  if (anyPeerReady()) {
    restartWhenIdle_ = true;
    return;
  }
  restartWhenIdle_ = false;
  std::optional<std::uint16_t> port = listener_->port();
  std::shared_ptr<TlsListener> old = std::move(listener_);
  old->cancel();
  listener_.reset();
  listen(port, true);
}

void Server::publishPairing() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  Date at = now();
  status_.code = codeGuard_.code();
  status_.pairingPaused = !codeGuard_.acceptsPairing(at);
  status_.qrPayload = pairing_.payload(config_.name).jsonString();
  status_.devices = pairing_.devices();
  publishStatus();
}

void Server::scheduleTick() {
  if (!rotateTimer_) return;
  rotateTimer_->expires_after(config_.tickInterval);
  std::weak_ptr<Server> weak = weak_from_this();
  asio::steady_timer* timer = rotateTimer_.get();
  rotateTimer_->async_wait([weak, timer](const std::error_code& ec) {
    if (ec) return;
    auto self = weak.lock();
    // A stopped (and maybe restarted) server has another timer.
    if (!self || self->rotateTimer_.get() != timer) return;
    self->tick();
    self->scheduleTick();
  });
}

void Server::tick() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  Date at = now();
  std::optional<Date> pausedUntil = codeGuard_.pausedUntil();
  bool pausedNow = pausedUntil && *pausedUntil > at;
  bool rotated = codeGuard_.rotateIfDue(at);
  if (rotated || pausedNow != status_.pairingPaused) publishPairing();
}

void Server::doStop() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (rotateTimer_) rotateTimer_->cancel();
  rotateTimer_.reset();
  if (listener_) {
    std::shared_ptr<TlsListener> old = std::move(listener_);
    listener_.reset();
    old->cancel();
  }
  if (advertiser_) advertiser_->stop();
  std::map<PeerKey, Peer> peers = std::move(peers_);
  peers_.clear();
  for (auto& [key, peer] : peers) {
    if (peer.helloTimer) peer.helloTimer->cancel();
    peer.conn->cancel();
  }
  restartWhenIdle_ = false;
  status_.listening = false;
  status_.phone.reset();
  publishStatus();
}

// ---- Peers ------------------------------------------------------------------

void Server::accept(std::shared_ptr<TlsConnection> connection) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  makeRoomForAPeer();
  PeerKey key = connection.get();
  std::weak_ptr<Server> weak = weak_from_this();
  std::weak_ptr<TlsConnection> weakConnection = connection;

  Peer& peer = peers_[key];
  peer.conn = connection;
  peer.acceptedNumber = ++acceptedCount_;
  peer.helloTimer = std::make_unique<asio::steady_timer>(queue_->io, config_.helloTimeout);
  peer.helloTimer->async_wait([weak, weakConnection](const std::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) self->helloTimedOut(weakConnection);
  });

  connection->setStateHandler([weak, key](TlsConnection::State state, const std::string& error) {
    if (auto self = weak.lock()) self->connectionState(key, state, error);
  });
  connection->start(queue_->io.get_executor());
  Transport::receive(
      connection,
      [weak, key](Message message) {
        if (auto self = weak.lock()) self->handle(message, key);
      },
      [weak, weakConnection](std::optional<std::string> reason) {
        if (auto self = weak.lock()) self->receiveEnded(weakConnection, reason);
      },
      [weak, key]() -> std::uint32_t {
        auto self = weak.lock();
        return self ? self->frameLimit(key) : 0;
      });
}

void Server::makeRoomForAPeer() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  for (;;) {
    std::size_t waiting = 0;
    auto oldest = peers_.end();
    for (auto it = peers_.begin(); it != peers_.end(); ++it) {
      if (it->second.device) continue;
      ++waiting;
      if (oldest == peers_.end() || it->second.acceptedNumber < oldest->second.acceptedNumber) {
        oldest = it;
      }
    }
    if (waiting < config_.maxUngreeted || oldest == peers_.end()) break;
    Peer peer = std::move(oldest->second);
    peers_.erase(oldest);
    if (peer.helloTimer) peer.helloTimer->cancel();
    peer.conn->cancel();  // finds no peer any more when it reports
  }
  if (restartWhenIdle_ && !anyPeerReady()) restart();
}

std::uint32_t Server::frameLimit(PeerKey key) const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  constexpr std::uint32_t kBeforeHello = 64 * 1024;
  auto found = peers_.find(key);
  return found != peers_.end() && found->second.device ? Wire::maxFrame : kBeforeHello;
}

void Server::connectionState(PeerKey key, TlsConnection::State state, const std::string& error) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  switch (state) {
    case TlsConnection::State::ready: {
      auto found = peers_.find(key);
      if (found == peers_.end()) return;
      found->second.ready = true;
      log("+ peer connected");
      break;
    }
    case TlsConnection::State::failed:
      log("! peer failed: " + error);
      removePeer(key);
      break;
    case TlsConnection::State::cancelled:
      removePeer(key);
      break;
    default:
      break;
  }
}

void Server::receiveEnded(const std::weak_ptr<TlsConnection>& connection,
                          const std::optional<std::string>& reason) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (reason) log("! " + *reason);
  // Whatever ended the loop, the connection is of no more use: cancelling it
  // removes the peer, so a phone that closed cleanly does not stay greeted.
  if (auto conn = connection.lock()) conn->cancel();
}

void Server::helloTimedOut(const std::weak_ptr<TlsConnection>& connection) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  auto conn = connection.lock();
  if (!conn) return;
  auto found = peers_.find(conn.get());
  if (found == peers_.end() || found->second.device) return;
  log("! no hello in time — closed");
  conn->cancel();
}

void Server::removePeer(PeerKey key) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  auto found = peers_.find(key);
  if (found == peers_.end()) return;
  Peer peer = std::move(found->second);
  peers_.erase(found);
  if (peer.helloTimer) peer.helloTimer->cancel();
  peer.conn->cancel();  // re-enters here for a failed connection, finding nothing

  if (!peer.ready) {
    // A pairing attempt is a handshake that began and did not complete (a
    // wrong code fails it); a port probe, or another protocol, is none and
    // must not pause pairing for everyone.
    if (peer.conn->sentClientHello() && codeGuard_.recordFailure(now())) {
      log("! too many failed pairings — code rotated, paused 60 s");
      publishPairing();
    }
    return;
  }
  log("- peer gone");
  if (!anyPeerGreeted()) {
    status_.phone.reset();
    publishStatus();
  }
  if (restartWhenIdle_ && !anyPeerReady()) restart();
}

bool Server::anyPeerReady() const {
  return std::any_of(peers_.begin(), peers_.end(), [](const auto& p) { return p.second.ready; });
}

bool Server::anyPeerGreeted() const {
  return std::any_of(peers_.begin(), peers_.end(),
                     [](const auto& p) { return p.second.device.has_value(); });
}

void Server::sendToGreeted(const Message& message) {
  for (auto& [key, peer] : peers_) {
    if (peer.device) Transport::send(message, peer.conn);
  }
}

void Server::handle(const Message& message, PeerKey key) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  auto found = peers_.find(key);
  if (found == peers_.end()) return;
  Peer& peer = found->second;
  // Previews are answered whenever they are ready anyway; the rest waits
  // for the reply the phone is waiting for.
  if (peer.waiting && !message.is<Message::Preview>() && !message.is<Message::CancelPreview>()) {
    peer.held.push_back(message);
    return;
  }
  if (!peer.device) {
    if (const auto* hello = message.get<Message::Hello>()) {
      this->hello(*hello, peer);
    } else {
      std::shared_ptr<TlsConnection> conn = peer.conn;
      log("! message before hello — closed");
      conn->cancel();
    }
    return;
  }
  // Replies and the agent's own kinds of message coming back are ignored.
  std::visit(Overloaded{
                 [&](const Message::Summary&) { Transport::send(makeSummaryResult(), peer.conn); },
                 [&](const Message::DeckNext& m) { deckNext(m, peer); },
                 [&](const Message::Decision& m) { decision(m, peer); },
                 [&](const Message::Undo& m) { undo(m.id); },
                 [&](const Message::SetKeeper& m) { setKeeper(m, peer); },
                 [&](const Message::Staged&) { staged(peer); },
                 [&](const Message::Preview& m) { preview(m, peer); },
                 [&](const Message::CancelPreview& m) { cancelledPreviews_.insert(m.id); },
                 [&](const Message::Commit&) { commit(peer); },
                 [&](const Message::EmptyTrash& m) { emptyTrash(m.confirm, peer); },
                 [&](const Message::Rescan&) { startScan(); },
                 [](const auto&) {},
             },
             message.value);
}

void Server::release(PeerKey key) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  for (auto found = peers_.find(key);
       found != peers_.end() && !found->second.waiting && !found->second.held.empty();
       found = peers_.find(key)) {
    Message next = std::move(found->second.held.front());
    found->second.held.pop_front();
    handle(next, key);
  }
}

void Server::hello(const Message::Hello& hello, Peer& peer) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  std::shared_ptr<TlsConnection> conn = peer.conn;
  Date at = now();
  std::optional<Bytes> key =
      hello.deviceID.empty() ? codeGuard_.pairingKey(at) : pairing_.key(hello.deviceID);
  if (!key || !PSK::proofMatches(*key, hello.deviceID, hello.proof)) {
    log("! hello proof failed for “" +
        (hello.deviceID.empty() ? std::string("code") : hello.deviceID) + "” — closed");
    conn->cancel();
    return;
  }
  std::string label;
  if (hello.deviceID.empty()) {
    label = "code:" + hello.name;
  } else {
    if (pairing_.complete(hello.deviceID, hello.name, at)) {
      log("★ paired new device “" + hello.name + "” as " + hello.deviceID);
      publishPairing();  // a fresh offer replaces the used one
    }
    label = hello.deviceID;
  }
  peer.identity = hello.deviceID;
  peer.device = label;
  if (peer.helloTimer) peer.helloTimer->cancel();
  status_.phone = hello.name;
  publishStatus();
  log("· hello from “" + hello.name + "” (" + label + ")");
  Transport::send(Message::Hello{config_.name, "", {}}, conn);
}

// ---- Cards, status and scans -------------------------------------------------

void Server::storeReport() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (!book_.report()) return;
  createDirectories(parentOf(config_.reportURL));
  // The cards, the status and the phones go on with the report in memory;
  // only a relaunch before the next good write starts from an older one.
  if (std::error_code error = saveStoredReport(config_.reportURL, *book_.report())) {
    log("! could not write report.json: " + error.message());
  }
}

void Server::refreshStatus() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  const std::optional<Report>& report = book_.report();
  status_.scannedAt = report ? std::optional<Date>(report->scannedAt) : std::nullopt;
  static_cast<ServerCardCounts&>(status_) = book_.counts();
  publishStatus();
}

Message::SummaryResult Server::makeSummaryResult() const {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  Message::SummaryResult result = book_.summary();
  result.macName = config_.name;
  for (const ScanRoot& root : config_.scanRoots)
    result.roots.emplace_back(lastComponent(root.path()));
  return result;
}

void Server::startScan() {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (status_.scanning) return;
  std::int64_t total = book_.report() ? book_.report()->filesSeen : 0;
  status_.scanning = Progress{0, total};
  publishStatus();
  std::vector<std::string> names;
  for (const ScanRoot& root : config_.scanRoots) names.emplace_back(lastComponent(root.path()));
  log("⟳ scanning " + joined(names, ", "));

  auto cache = std::make_shared<HashCache>(config_.storage + "/hashes.plist");
  std::weak_ptr<Server> weak = weak_from_this();
  std::shared_ptr<Queue> queue = queue_;
  asio::post(userInitiatedPool(), [weak, queue, cache, total, scanRoots = config_.scanRoots,
                                   minBytes = config_.minBytes] {
    Pipeline::Options options;
    options.minBytes = minBytes;
    options.cache = cache.get();
    options.progress = [weak, queue, total](std::int64_t done) {
      if (done % 200 != 0) return;
      asio::post(queue->io, [weak, done, total] {
        if (auto self = weak.lock()) self->scanProgress(done, total);
      });
    };
    try {
      Report report = Pipeline::run(scanRoots, options);
      int hits = cache->hits();
      int lookups = hits + cache->misses();
      asio::post(queue->io, [weak, report = std::move(report), hits, lookups]() mutable {
        if (auto self = weak.lock()) self->scanFinished(std::move(report), hits, lookups);
      });
    } catch (const std::exception& e) {
      asio::post(queue->io, [weak, error = std::string(e.what())] {
        if (auto self = weak.lock()) self->scanFailed(error);
      });
    }
  });
}

void Server::scanProgress(std::int64_t done, std::int64_t total) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  if (!status_.scanning) return;  // late news of a scan that has ended
  status_.scanning = Progress{done, total};
  publishStatus();
  sendToGreeted(Message::ScanProgress{static_cast<int>(done), static_cast<int>(total)});
}

void Server::scanFailed(const std::string& error) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  status_.scanning.reset();
  publishStatus();
  log("! scan failed: " + error);
}

void Server::scanFinished(Report report, int cacheHits, int cacheLookups) {
  TALLOWICK_DCHECK_SEQUENCE(sequence_);
  int reattached = book_.load(std::move(report));
  status_.scanning.reset();
  refreshStatus();
  storeReport();

  const Report& stored = *book_.report();
  log("✓ scan: " + std::to_string(stored.filesSeen) + " files, " +
      std::to_string(book_.cards().cards.size()) + " cards, " + std::to_string(reattached) +
      " decisions re-attached, hash cache " + std::to_string(cacheHits) + "/" +
      std::to_string(cacheLookups) + " hits");
  warmThumbnails();
  emit(Event{Event::Scanned{stored}});
  int files = static_cast<int>(stored.filesSeen);
  sendToGreeted(Message::ScanProgress{files, files});
  sendToGreeted(makeSummaryResult());
}

}  // namespace tallowick
