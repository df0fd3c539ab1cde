#include "agent/review_model.h"

#include <algorithm>
#include <utility>

#include "core/thumbs/heic_image.h"

namespace tallowick {
namespace {

// Preview sizes are asked for in steps, so a window resized by a few pixels
// reuses what it has (and the server its cached file).
constexpr int kPixelStep = 256;

int roundedPixel(int maxPixel) {
  return std::clamp((maxPixel + kPixelStep - 1) / kPixelStep * kPixelStep, kPixelStep, 4096);
}

bool hasPicture(const FileCard& file) {
  return file.kind == Kind::image || file.kind == Kind::video;
}

QImage toQImage(const Thumbnailer::Image& image) {
  QImage picture(image.pixels.data(), image.width, image.height, image.width * image.channels,
                 image.channels == 4 ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
  return picture.copy();  // owns its pixels
}

}  // namespace

ReviewModel::ReviewModel(Agent& agent, QObject* parent) : QObject(parent), agent_(agent) {
  pool_.setMaxThreadCount(2);
}

ReviewModel::~ReviewModel() {
  QObject::disconnect(waitForServer_);
  if (client_) client_->close();
  if (connector_.joinable()) connector_.join();
  client_.reset();
  pool_.clear();
  pool_.waitForDone();
}

void ReviewModel::open() {
  if (state_ == State::connecting || state_ == State::ready) return;
  state_ = State::connecting;
  error_.clear();
  Q_EMIT changed();
  connectNow();
}

void ReviewModel::connectNow() {
  std::optional<Agent::ReviewLogin> login = agent_.reviewLogin();
  if (!login) {
    // The server is not listening yet: try again when the agent changes.
    if (!waitForServer_) {
      waitForServer_ = connect(&agent_, &Agent::stateChanged, this, [this] {
        if (state_ == State::connecting && !client_) connectNow();
      });
    }
    return;
  }
  QObject::disconnect(waitForServer_);
  waitForServer_ = {};
  if (connector_.joinable()) connector_.join();
  client_ = std::make_unique<PhoneClient>();
  PhoneClient* client = client_.get();
  const int connection = ++connection_;
  connector_ = std::thread([this, client, connection, login = *login] {
    PhoneClient::Received hello =
        client->connect(login.endpoint, login.login, Agent::kReviewDeviceName, kConnectTimeout);
    QMetaObject::invokeMethod(
        &context_, [this, hello, login] { connected(hello, login); }, Qt::QueuedConnection);
    if (!hello.ok()) return;
    // After the post above, so the main thread knows it is connected before
    // the first message reaches it.
    client->listen(
        [this, connection](Message message) {
          QMetaObject::invokeMethod(
              &context_,
              [this, connection, message = std::move(message)] {
                if (connection == connection_) handle(message);
              },
              Qt::QueuedConnection);
        },
        [this, connection](const std::string& reason) {
          QMetaObject::invokeMethod(
              &context_,
              [this, connection, why = QString::fromStdString(reason)] {
                if (connection == connection_) ended(why);
              },
              Qt::QueuedConnection);
        });
  });
}

void ReviewModel::connected(const PhoneClient::Received& hello, const Agent::ReviewLogin& login) {
  if (state_ != State::connecting) return;
  if (!hello.ok()) {
    ended(QString::fromStdString(hello.error));
    return;
  }
  // The offer became this computer's device; keep it for the next window.
  if (login.pairing) agent_.keepReviewDevice(login.login);
  state_ = State::ready;
  awaited_.clear();
  staleBatches_ = 0;
  requestSummary();
  requestStaged();
  reloadDeck();
}

void ReviewModel::ended(const QString& why) {
  if (state_ == State::ended) return;
  state_ = State::ended;
  error_ = why;
  awaited_.clear();
  batchPending_ = false;
  committing_ = false;
  if (client_) client_->close();
  Q_EMIT changed();
  // The client's thread may still be delivering: it goes with the next
  // open() or with the model.
}

void ReviewModel::send(const Message& message, std::optional<Awaited> awaited) {
  if (state_ != State::ready || !client_ || !client_->send(message)) return;
  if (awaited) awaited_.push_back(*awaited);
}

const Card* ReviewModel::current() const {
  return position_ < cards_.size() ? &cards_[position_] : nullptr;
}

std::optional<Action> ReviewModel::decisionOn(const Uuid& id) const {
  auto found = decided_.find(id);
  if (found == decided_.end()) return std::nullopt;
  return found->second;
}

void ReviewModel::setDeck(DeckID deck) {
  if (deck == deck_) return;
  deck_ = deck;
  reloadDeck();
}

void ReviewModel::reloadDeck() {
  cards_.clear();
  position_ = 0;
  serverCount_ = 0;
  exhausted_ = false;
  // A batch still on its way belongs to the old deck: it is dropped by
  // counting it out (batchPending_ stays until it arrives).
  if (batchPending_) ++staleBatches_;
  batchPending_ = false;
  loadAhead();
  Q_EMIT changed();
}

void ReviewModel::loadAhead() {
  if (state_ != State::ready || exhausted_ || batchPending_) return;
  if (cards_.size() >= position_ + kAhead + 1 + kBatch / 2) return;
  send(Message::DeckNext{deck_, serverCount_, kBatch}, Awaited::deckNext);
  batchPending_ = true;
}

void ReviewModel::skipDecided() {
  while (position_ < cards_.size() && decided_.count(cards_[position_].id())) ++position_;
}

bool ReviewModel::decide(Action action) {
  const Card* card = current();
  if (card == nullptr || state_ != State::ready) return false;
  const Uuid id = card->id();
  send(Message::Decision{id, action});
  decided_[id] = action;
  undo_.push_back({id, action});
  ++position_;
  skipDecided();
  requestSummary();
  if (action == Action::trash) requestStaged();
  loadAhead();
  fetchAhead();
  Q_EMIT changed();
  return true;
}

void ReviewModel::undo() {
  if (!canUndo()) return;
  UndoStep step = undo_.back();
  undo_.pop_back();
  send(Message::Undo{step.id});
  decided_.erase(step.id);
  auto committed = committed_.find(step.id);
  if (committed != committed_.end()) {
    // Its files come back from the Trash: so does the card, to decide again.
    position_ = std::min(position_, cards_.size());
    cards_.insert(cards_.begin() + static_cast<std::ptrdiff_t>(position_), committed->second);
    committed_.erase(committed);
  } else {
    auto found = std::find_if(cards_.begin(), cards_.end(),
                              [&](const Card& card) { return card.id() == step.id; });
    if (found != cards_.end()) position_ = static_cast<std::size_t>(found - cards_.begin());
  }
  requestSummary();
  if (step.action == Action::trash) requestStaged();
  fetchAhead();
  Q_EMIT changed();
}

void ReviewModel::setKeeper(const Uuid& groupID, const Uuid& itemID) {
  send(Message::SetKeeper{groupID, itemID});
}

std::int64_t ReviewModel::stagedBytes() const {
  std::int64_t bytes = 0;
  for (const Card& card : staged_) bytes += card.bytes();
  return bytes;
}

void ReviewModel::commit() {
  if (committing_ || state_ != State::ready) return;
  // The staged list just before the commit names the cards it moves: the
  // replies come in this order.
  send(Message::Staged{}, Awaited::stagedBeforeCommit);
  send(Message::Commit{}, Awaited::commit);
  committing_ = true;
  notice_.clear();
  Q_EMIT changed();
}

void ReviewModel::emptyTrash() {
  if (!canEmptyTrash()) return;
  send(Message::EmptyTrash{true}, Awaited::emptyTrash);
}

void ReviewModel::handle(const Message& message) {
  if (state_ != State::ready) return;
  // Replies keep the order of the requests; anything else was pushed or is
  // matched by its id.
  auto next = [&](std::initializer_list<Awaited> kinds) -> std::optional<Awaited> {
    if (awaited_.empty() ||
        std::find(kinds.begin(), kinds.end(), awaited_.front()) == kinds.end()) {
      return std::nullopt;
    }
    Awaited front = awaited_.front();
    awaited_.pop_front();
    return front;
  };
  if (const auto* summary = message.get<Message::SummaryResult>()) {
    received(*summary, !next({Awaited::summary}));
  } else if (const auto* batch = message.get<Message::QueueBatch>()) {
    if (next({Awaited::deckNext})) received(*batch);
  } else if (const auto* staged = message.get<Message::StagedBatch>()) {
    if (auto awaited = next({Awaited::staged, Awaited::stagedBeforeCommit})) {
      staged_ = staged->cards;
      if (*awaited == Awaited::stagedBeforeCommit) commitCards_ = staged->cards;
      // Cards staged before this window opened count as decided here.
      for (const Card& card : staged_) decided_.emplace(card.id(), Action::trash);
      skipDecided();
      Q_EMIT changed();
    }
  } else if (const auto* result = message.get<Message::CommitResult>()) {
    if (next({Awaited::commit})) received(*result);
  } else if (message.is<Message::Ok>()) {
    if (next({Awaited::emptyTrash})) {
      canEmptyTrash_ = false;
      trashEmptied_ = true;
      // The Trash is empty: committed files can no longer come back.
      std::erase_if(undo_, [&](const UndoStep& step) { return committed_.count(step.id) > 0; });
      committed_.clear();
      Q_EMIT changed();
    }
  } else if (const auto* refusal = message.get<Message::Refused>()) {
    if (!awaited_.empty()) {
      Awaited awaited = awaited_.front();
      awaited_.pop_front();
      refused(awaited, refusal->reason);
    }
  } else if (const auto* updated = message.get<Message::CardUpdated>()) {
    received(*updated);
  } else if (const auto* data = message.get<Message::PreviewData>()) {
    received(*data);
  } else if (const auto* progress = message.get<Message::ScanProgress>()) {
    scanProgress_ = std::pair(progress->done, progress->total);
    Q_EMIT changed();
  }
}

void ReviewModel::received(const Message::SummaryResult& summary, bool pushed) {
  summary_ = summary;
  if (pushed) {
    // A scan ended (or the folders changed): the cards are new.
    scanProgress_.reset();
    decided_.clear();
    undo_.clear();
    committed_.clear();
    previews_.clear();
    thumbs_.clear();
    decodingThumbs_.clear();
    requestStaged();
    reloadDeck();
    return;
  }
  Q_EMIT changed();
}

void ReviewModel::received(const Message::QueueBatch& batch) {
  if (staleBatches_ > 0) {
    --staleBatches_;
    return;
  }
  batchPending_ = false;
  serverCount_ += static_cast<int>(batch.cards.size());
  if (static_cast<int>(batch.cards.size()) < kBatch) exhausted_ = true;
  for (const Card& card : batch.cards) {
    if (!committed_.count(card.id())) cards_.push_back(card);
  }
  skipDecided();
  loadAhead();
  fetchAhead();
  Q_EMIT changed();
}

void ReviewModel::received(const Message::CommitResult& result) {
  committing_ = false;
  lastCommit_ = result;
  std::unordered_set<Uuid> failed;
  commitRefusals_.clear();
  for (const CommitFailure& failure : result.failed) failed.insert(failure.id);
  for (const Card& card : commitCards_) {
    if (failed.count(card.id())) continue;
    committed_[card.id()] = card;
  }
  for (const CommitFailure& failure : result.failed) {
    auto card = std::find_if(commitCards_.begin(), commitCards_.end(),
                             [&](const Card& c) { return c.id() == failure.id; });
    commitRefusals_.push_back(
        {QString::fromStdString(card != commitCards_.end() ? card->title() : failure.id.string()),
         QString::fromStdString(failure.reason)});
    // The server dropped its decision: the card is open again.
    decided_.erase(failure.id);
  }
  commitCards_.clear();
  // Committed cards leave the deck; the one in front of the user stays.
  std::size_t before = 0;
  std::vector<Card> kept;
  for (std::size_t i = 0; i < cards_.size(); ++i) {
    if (committed_.count(cards_[i].id())) continue;
    if (i < position_) ++before;
    kept.push_back(std::move(cards_[i]));
  }
  cards_ = std::move(kept);
  position_ = before;
  skipDecided();
  if (result.trashed > 0) {
    canEmptyTrash_ = true;
    trashEmptied_ = false;
  }
  requestSummary();
  requestStaged();
  loadAhead();
  Q_EMIT changed();
}

void ReviewModel::received(const Message::CardUpdated& updated) {
  replaceCard(updated.card);
  // A staged group frees other bytes now.
  if (decisionOn(updated.card.id()) == Action::trash) requestStaged();
  requestSummary();
  Q_EMIT changed();
}

void ReviewModel::replaceCard(const Card& card) {
  for (std::vector<Card>* list : {&cards_, &staged_}) {
    for (Card& old : *list) {
      if (old.id() == card.id()) old = card;
    }
  }
}

void ReviewModel::refused(Awaited awaited, const std::string& reason) {
  const QString why = QString::fromStdString(reason);
  switch (awaited) {
    case Awaited::commit:
      committing_ = false;
      notice_ = tr("The files were not moved: %1").arg(why);
      break;
    case Awaited::emptyTrash:
      notice_ = tr("The Trash was not emptied: %1").arg(why);
      break;
    case Awaited::deckNext:
      batchPending_ = false;
      exhausted_ = true;
      notice_ = tr("The cards could not be loaded: %1").arg(why);
      break;
    case Awaited::summary:
    case Awaited::staged:
    case Awaited::stagedBeforeCommit:
      notice_ = why;
      break;
  }
  Q_EMIT changed();
}

// ---- Pictures ---------------------------------------------------------------

QImage ReviewModel::thumbnail(const FileCard& file) {
  auto found = thumbs_.find(file.id);
  if (found != thumbs_.end()) return found->second;
  if (file.thumb && !file.thumb->empty() && decodingThumbs_.insert(file.id).second) {
    decode(file.id, std::string(file.thumb->begin(), file.thumb->end()), false, 0);
  }
  return {};
}

QImage ReviewModel::preview(const FileCard& file, int maxPixel) {
  if (!hasPicture(file)) return {};
  const int pixel = roundedPixel(maxPixel);
  previewPixel_ = std::max(previewPixel_, pixel);
  requestPreview(file, pixel);
  auto found = previews_.find(file.id);
  return found == previews_.end() ? QImage() : found->second.image;
}

bool ReviewModel::hasNoPreview(const Uuid& id) const {
  auto found = previews_.find(id);
  return found != previews_.end() && found->second.none;
}

void ReviewModel::requestPreview(const FileCard& file, int pixel) {
  Preview& preview = previews_[file.id];
  if (preview.none || preview.requested >= pixel) return;
  preview.requested = pixel;
  send(Message::Preview{file.id, pixel});
}

void ReviewModel::fetchAhead() {
  if (previewPixel_ == 0) return;
  for (std::size_t i = position_; i < cards_.size() && i <= position_ + kAhead; ++i) {
    std::optional<FileCard> file = cards_[i].previewFile();
    if (file && hasPicture(*file)) requestPreview(*file, previewPixel_);
  }
}

void ReviewModel::received(const Message::PreviewData& data) {
  Preview& preview = previews_[data.id];
  if (data.data.empty()) {
    preview.none = preview.image.isNull();
    Q_EMIT pictureReady();
    return;
  }
  // The size is read back from the request: replies of a smaller, older
  // request never replace a larger picture.
  decode(data.id, std::string(data.data.begin(), data.data.end()), true, preview.requested);
}

void ReviewModel::decode(Uuid id, std::string bytes, bool isPreview, int pixel) {
  pool_.start([this, id, bytes = std::move(bytes), isPreview, pixel] {
    std::optional<Thumbnailer::Image> image = decodeHEIC(bytes);
    QImage picture = image ? toQImage(*image) : QImage();
    QMetaObject::invokeMethod(
        &context_,
        [this, id, picture, isPreview, pixel] {
          if (isPreview) {
            Preview& preview = previews_[id];
            if (!picture.isNull() && pixel >= preview.shown) {
              preview.image = picture;
              preview.shown = pixel;
            }
          } else {
            decodingThumbs_.erase(id);
            thumbs_[id] = picture;
          }
          Q_EMIT pictureReady();
        },
        Qt::QueuedConnection);
  });
}

}  // namespace tallowick
