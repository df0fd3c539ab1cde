#pragma once
// The review window: the decks swiped on the desktop, with the keyboard or
// the buttons. Left, the decks with their counts and bytes, then the cards
// staged for the Trash with the bytes they free, "Move to Trash" and, right
// after a commit, "Empty Trash…". Right, the current card: its preview as
// large as the window allows, its name, folder, size, reasons and dates,
// and for a group every member as a thumbnail, the keeper marked (a click
// makes another member the keeper).
//
// Keys: → or K keep, ← or T trash, ↓ or S skip, U undo, Space opens the
// file with the desktop's default application, Ctrl+Enter moves the staged
// files to the Trash.
//
// The window draws the review model's state and calls it; the model talks
// to the server. Children carry object names ("cardName", "keepButton",
// "stagedBytes", ...) so tests find them.

#include <QUrl>
#include <QWidget>

#include <functional>

#include "shared/cards.h"

class QLabel;
class QListWidget;
class QPushButton;
class QScrollArea;
class QHBoxLayout;

namespace tallowick {

class Agent;
class ReviewModel;

class ReviewWindow : public QWidget {
  Q_OBJECT

 public:
  // Asks the user before the Trash is emptied; true means go ahead.
  using Confirm = std::function<bool(QWidget* parent, const QString& title, const QString& text)>;
  // Opens a file with the desktop's default application.
  using Opener = std::function<void(const QUrl& url)>;

  // The question asked before the Trash is emptied.
  static QString emptyTrashQuestion();

  explicit ReviewWindow(Agent& agent, QWidget* parent = nullptr);
  ~ReviewWindow() override;

  ReviewModel& model() { return *model_; }
  // For tests: stand-ins for the dialog and the desktop's opener.
  void setConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
  void setOpener(Opener opener) { opener_ = std::move(opener); }

  // The actions behind the keys and buttons.
  void keep();
  void trash();
  void skip();
  void undo();
  void openCurrent();
  void commit();
  void emptyTrash();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void refresh();
  void refreshDecks();
  void refreshCard();
  void refreshStrip(const GroupCard* group);
  void refreshStripIcons();
  void refreshPreview();
  void refreshStaged();
  int previewPixels() const;

  ReviewModel* model_;
  Confirm confirm_;
  Opener opener_;

  QListWidget* decks_;
  QListWidget* staged_;
  QLabel* stagedBytes_;
  QPushButton* commit_;
  QLabel* result_;
  QPushButton* emptyTrash_;
  QLabel* position_;
  QLabel* scan_;
  QLabel* preview_;
  QLabel* name_;
  QLabel* folder_;
  QLabel* reasons_;
  QLabel* dates_;
  QLabel* stripCaption_;
  QScrollArea* strip_;
  QHBoxLayout* members_;
  QWidget* buttons_;
  QPushButton* trash_;
  QPushButton* skip_;
  QPushButton* keep_;
  QPushButton* undo_;
  QPushButton* open_;
  QPushButton* retry_;
  QLabel* notice_;
  // The group whose members the strip shows, and its keeper.
  Uuid stripGroup_;
  Uuid stripKeeper_;
  bool stripShown_ = false;
};

}  // namespace tallowick
