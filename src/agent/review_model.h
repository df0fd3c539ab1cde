#pragma once
// The review window's session, without widgets: one more phone to the
// agent's own server. It connects over loopback as this computer's paired
// device (paired through the server's QR offer the first time, its key
// kept for the next run), so every decision is journalled, staged,
// committed and undone exactly as a phone's. It loads the summary, pages
// the chosen deck, decides on the current card, undoes, changes a group's
// keeper, keeps the staged list, commits, empties the Trash on request,
// and fetches previews at the size the window asks for (and the next
// cards' ahead of the user). A summary the server pushes (after a rescan)
// reloads the deck; committed cards leave it.
//
// Threading: lives on the Qt main thread; every member is called there.
// The connection is made on a thread of its own and then runs on the phone
// client's thread; each message is posted to the main thread and handled
// there in arrival order. Pictures (HEIC) are decoded on the model's own
// thread pool. Nothing here waits for the network on the main thread.

#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "agent/agent.h"
#include "shared/cards.h"
#include "shared/message.h"
#include "shared/phone_client.h"

namespace tallowick {

class ReviewModel : public QObject {
  Q_OBJECT

 public:
  // Cards asked for per page, and how many cards ahead of the current one
  // are kept loaded and have their previews fetched.
  static constexpr int kBatch = 20;
  static constexpr int kAhead = 2;
  static constexpr std::chrono::milliseconds kConnectTimeout = std::chrono::seconds(15);

  enum class State {
    idle,        // open() not called yet
    connecting,  // waiting for the server to listen, or for TLS and hello
    ready,
    ended,  // the connection failed or ended: error() says why
  };

  // A staged card a commit could not move, with the reason.
  struct Refusal {
    QString name;
    QString reason;
  };

  explicit ReviewModel(Agent& agent, QObject* parent = nullptr);
  // Closes the connection and waits for the connecting thread and the
  // decoding jobs.
  ~ReviewModel() override;

  // Connects (again, after an end) and loads the summary, the staged list
  // and the current deck. Does nothing while connecting or connected.
  void open();

  State state() const { return state_; }
  const QString& error() const { return error_; }

  // The last summary; no value before the first arrived.
  const std::optional<Message::SummaryResult>& summary() const { return summary_; }
  DeckID deck() const { return deck_; }
  // Switches to another deck and loads it from its first card.
  void setDeck(DeckID deck);
  // The loaded cards of the deck, committed cards left out, in deck order.
  const std::vector<Card>& cards() const { return cards_; }
  std::size_t position() const { return position_; }
  // The card to decide on; null at the end of the loaded cards.
  const Card* current() const;
  // True once the server has no more cards of this deck and every loaded
  // one is decided.
  bool finished() const { return exhausted_ && position_ >= cards_.size(); }
  // Every card of the deck has been loaded.
  bool allLoaded() const { return exhausted_; }
  // A page of cards is on its way.
  bool loading() const { return batchPending_; }
  // The decision this session made on a card, if any.
  std::optional<Action> decisionOn(const Uuid& id) const;

  // Decides on the current card and moves to the next. False when there is
  // no current card or no connection.
  bool decide(Action action);
  // Withdraws the last decision not withdrawn yet; a committed card's files
  // come back from the Trash and the card comes back as the current one.
  bool canUndo() const { return state_ == State::ready && !undo_.empty(); }
  void undo();
  // Makes `itemID` the keeper of the group `groupID`.
  void setKeeper(const Uuid& groupID, const Uuid& itemID);

  // The cards staged for the Trash (of every device), and what they free.
  const std::vector<Card>& staged() const { return staged_; }
  std::int64_t stagedBytes() const;
  // Moves the staged files to the Trash.
  void commit();
  bool committing() const { return committing_; }
  // The last commit's result, and its refusals with the card names.
  const std::optional<Message::CommitResult>& lastCommit() const { return lastCommit_; }
  const std::vector<Refusal>& commitRefusals() const { return commitRefusals_; }
  // True right after a commit that moved something, until the Trash was
  // emptied: the server allows emptying it then.
  bool canEmptyTrash() const { return canEmptyTrash_ && state_ == State::ready; }
  // Empties the whole Trash. The caller has the user's confirmation.
  void emptyTrash();
  bool trashEmptied() const { return trashEmptied_; }
  // The last refusal of the server, in words; empty when none.
  const QString& notice() const { return notice_; }
  // The running scan's progress as the server last sent it.
  std::optional<std::pair<int, int>> scanProgress() const { return scanProgress_; }

  // The inline thumbnail of a card's file, decoded; a null image while it
  // is decoded (pictureReady follows) or when there is none.
  QImage thumbnail(const FileCard& file);
  // The best preview of the file `id` there is so far (null when none),
  // and a request for one of at least `maxPixel` when there is none that
  // big. Only pictures and videos have previews. Later cards are fetched
  // at the same size.
  QImage preview(const FileCard& file, int maxPixel);
  // True once the server answered that the file has no preview.
  bool hasNoPreview(const Uuid& id) const;

 Q_SIGNALS:
  // Anything above changed.
  void changed();
  // A thumbnail or preview finished decoding.
  void pictureReady();

 private:
  // A request whose reply is still awaited, in the order sent.
  enum class Awaited { summary, deckNext, staged, stagedBeforeCommit, commit, emptyTrash };
  struct UndoStep {
    Uuid id;
    Action action;
  };
  struct Preview {
    int requested = 0;  // the largest size asked for
    int shown = 0;      // the size of `image`
    bool none = false;  // the server has no preview
    QImage image;
  };

  void connectNow();
  void connected(const PhoneClient::Received& hello, const Agent::ReviewLogin& login);
  void ended(const QString& why);
  void handle(const Message& message);
  void send(const Message& message, std::optional<Awaited> awaited = std::nullopt);
  void requestSummary() { send(Message::Summary{}, Awaited::summary); }
  void requestStaged() { send(Message::Staged{}, Awaited::staged); }
  void reloadDeck();
  void loadAhead();
  void skipDecided();
  void fetchAhead();
  void requestPreview(const FileCard& file, int maxPixel);
  void received(const Message::SummaryResult& summary, bool pushed);
  void received(const Message::QueueBatch& batch);
  void received(const Message::CommitResult& result);
  void received(const Message::CardUpdated& updated);
  void received(const Message::PreviewData& data);
  void refused(Awaited awaited, const std::string& reason);
  void decode(Uuid id, std::string bytes, bool isPreview, int pixel);
  void replaceCard(const Card& card);

  Agent& agent_;
  // Posts from the other threads go to this object: gone after the client
  // and the pool, so nothing posted outlives its receiver.
  QObject context_;
  QThreadPool pool_;
  std::unique_ptr<PhoneClient> client_;
  std::thread connector_;
  QMetaObject::Connection waitForServer_;
  // Counts connections, so a message of an ended one is never taken for
  // the next one's.
  int connection_ = 0;

  State state_ = State::idle;
  QString error_;
  QString notice_;
  std::deque<Awaited> awaited_;
  std::optional<Message::SummaryResult> summary_;
  std::optional<std::pair<int, int>> scanProgress_;
  DeckID deck_ = DeckID::smart;
  std::vector<Card> cards_;
  std::size_t position_ = 0;
  int serverCount_ = 0;  // cards of the deck received, the next page's `after`
  bool exhausted_ = false;
  bool batchPending_ = false;
  int staleBatches_ = 0;  // pages of a deck left behind, still to arrive
  std::unordered_map<Uuid, Action> decided_;
  std::vector<UndoStep> undo_;
  std::vector<Card> staged_;
  std::vector<Card> commitCards_;
  bool committing_ = false;
  std::optional<Message::CommitResult> lastCommit_;
  std::vector<Refusal> commitRefusals_;
  bool canEmptyTrash_ = false;
  bool trashEmptied_ = false;
  // Committed cards, kept to bring back on undo; never shown meanwhile.
  std::unordered_map<Uuid, Card> committed_;
  int previewPixel_ = 0;
  std::unordered_map<Uuid, Preview> previews_;
  std::unordered_map<Uuid, QImage> thumbs_;
  std::unordered_set<Uuid> decodingThumbs_;
};

}  // namespace tallowick
