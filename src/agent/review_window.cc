#include "agent/review_window.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>

#include "agent/agent.h"
#include "agent/named_label.h"
#include "agent/review_model.h"
#include "agent/view_text.h"
#include "shared/card_text.h"

namespace tallowick {
namespace {

constexpr int kSideWidth = 280;
constexpr int kThumbSize = 96;
// The object name of a member's button in the strip carries no id; the
// id rides along as a property.
constexpr const char* kMemberProperty = "memberID";

QString qstring(const std::string& text) { return QString::fromStdString(text); }

QLabel* label(const QString& name, int pointSize = 0, bool bold = false) {
  QLabel* text = namedLabel(name, pointSize, bold);
  text->setTextInteractionFlags(Qt::NoTextInteraction);
  return text;
}

QLabel* heading(const QString& text) {
  QLabel* title = label(QString(), 0, true);
  title->setText(text);
  return title;
}

void setSecondary(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, ViewText::toneColour(ViewText::Tone::Starting));
  widget->setPalette(palette);
}

QPushButton* button(const QString& name, const QString& text, const QString& tip) {
  auto* b = new QPushButton(text);
  b->setObjectName(name);
  b->setToolTip(tip);
  // The window takes every key: a focused button would eat Space.
  b->setFocusPolicy(Qt::NoFocus);
  return b;
}

QString deckName(const Deck& deck) {
  return deck.name.empty() ? qstring(std::string(rawValue(deck.id))) : qstring(deck.name);
}

// The summary lists only decks with cards, as the phone shows them; with
// none, one line says why.
QString noDecksText(const Message::SummaryResult& summary) {
  return summary.scannedAt == kDistantPast ? ReviewWindow::tr("Not scanned yet")
                                           : ReviewWindow::tr("Nothing to clean up");
}

QString filesText(std::int64_t count) { return ViewText::counted(count, "file", "files"); }

QString kindWord(Kind kind) {
  switch (kind) {
    case Kind::image:
      return ReviewWindow::tr("Picture");
    case Kind::video:
      return ReviewWindow::tr("Video");
    case Kind::archive:
      return ReviewWindow::tr("Archive");
    case Kind::installer:
      return ReviewWindow::tr("Installer");
    case Kind::document:
      return ReviewWindow::tr("Document");
    case Kind::other:
      break;
  }
  return ReviewWindow::tr("File");
}

Date now() {
  return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

QString datesText(const FileCard& file) {
  QStringList parts;
  if (file.createdAt) {
    parts << ReviewWindow::tr("Created %1").arg(ViewText::relativeDate(*file.createdAt, now()));
  }
  parts << (file.lastOpenedAt ? ReviewWindow::tr("Last opened %1")
                                    .arg(ViewText::relativeDate(*file.lastOpenedAt, now()))
                              : ReviewWindow::tr("No record of it being opened"));
  return parts.join(QStringLiteral("  ·  "));
}

QString reasonsText(const std::vector<Reason>& reasons) {
  QStringList words;
  for (Reason reason : reasons) words << qstring(reasonInWords(reason));
  if (words.isEmpty()) return {};
  QString text = words.join(QStringLiteral("; "));
  text[0] = text[0].toUpper();
  return text;
}

// What stands in for a preview: the file's kind and extension on a card.
QPixmap placeholder(const QSize& size, const FileCard& file, const QString& caption,
                    const QPalette& palette) {
  QPixmap pixmap(size.expandedTo(QSize(1, 1)));
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const int side = std::min({size.width(), size.height(), 260});
  const QRectF box((size.width() - side * 0.8) / 2, (size.height() - side) / 2, side * 0.8, side);
  QPainterPath path;
  path.addRoundedRect(box, 16, 16);
  painter.fillPath(path, palette.color(QPalette::AlternateBase));
  painter.setPen(QPen(palette.color(QPalette::Mid), 1.5));
  painter.drawPath(path);
  QString extension = QFileInfo(qstring(file.name)).suffix().toUpper();
  if (extension.isEmpty() || extension.size() > 5) extension = kindWord(file.kind);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(std::max(12, side / 6));
  painter.setFont(font);
  painter.setPen(palette.color(QPalette::Text));
  painter.drawText(box.adjusted(0, 0, 0, -box.height() * 0.2), Qt::AlignCenter, extension);
  font.setBold(false);
  font.setPixelSize(std::max(10, side / 14));
  painter.setFont(font);
  painter.setPen(ViewText::toneColour(ViewText::Tone::Starting));
  painter.drawText(box.adjusted(8, box.height() * 0.45, -8, 0), Qt::AlignCenter | Qt::TextWordWrap,
                   caption);
  return pixmap;
}

// The keys of the window and what each does.
struct Key {
  int key;
  Qt::KeyboardModifiers modifiers;
  void (ReviewWindow::*action)();
};
const std::array<Key, 11> kKeys{{
    {Qt::Key_Right, Qt::NoModifier, &ReviewWindow::keep},
    {Qt::Key_K, Qt::NoModifier, &ReviewWindow::keep},
    {Qt::Key_Left, Qt::NoModifier, &ReviewWindow::trash},
    {Qt::Key_T, Qt::NoModifier, &ReviewWindow::trash},
    {Qt::Key_Down, Qt::NoModifier, &ReviewWindow::skip},
    {Qt::Key_S, Qt::NoModifier, &ReviewWindow::skip},
    {Qt::Key_U, Qt::NoModifier, &ReviewWindow::undo},
    {Qt::Key_Space, Qt::NoModifier, &ReviewWindow::openCurrent},
    {Qt::Key_Return, Qt::ControlModifier, &ReviewWindow::commit},
    {Qt::Key_Enter, Qt::ControlModifier, &ReviewWindow::commit},
    {Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier, &ReviewWindow::commit},
}};

}  // namespace

QString ReviewWindow::emptyTrashQuestion() {
  return tr(
      "Empty the whole Trash? This permanently deletes everything in the Trash, not only "
      "the files moved there from here. It cannot be undone.");
}

ReviewWindow::ReviewWindow(Agent& agent, QWidget* parent)
    : QWidget(parent), model_(new ReviewModel(agent, this)) {
  setObjectName(QStringLiteral("review"));
  setWindowTitle(tr("Review — Tallowick"));
  setWindowFlag(Qt::Window);
  setFocusPolicy(Qt::StrongFocus);
  resize(980, 680);
  confirm_ = [](QWidget* parent, const QString& title, const QString& text) {
    return QMessageBox::question(parent, title, text, QMessageBox::Cancel | QMessageBox::Yes,
                                 QMessageBox::Cancel) == QMessageBox::Yes;
  };
  opener_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);

  // Left: decks, then the staged cards.
  auto* side = new QWidget;
  side->setObjectName(QStringLiteral("side"));
  side->setFixedWidth(kSideWidth);
  side->setAutoFillBackground(true);
  {
    QPalette palette = side->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::AlternateBase));
    side->setPalette(palette);
  }
  auto* left = new QVBoxLayout(side);
  left->setContentsMargins(14, 14, 14, 14);
  left->setSpacing(8);
  left->addWidget(heading(tr("Decks")));
  decks_ = new QListWidget;
  decks_->setObjectName(QStringLiteral("deckList"));
  decks_->setFocusPolicy(Qt::NoFocus);
  decks_->setFrameShape(QFrame::NoFrame);
  decks_->setSpacing(2);
  decks_->setMaximumHeight(250);
  connect(decks_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
    if (!item->data(Qt::UserRole).isValid()) return;  // the line saying there is none
    // After the click: switching decks redraws the list under it.
    const auto deck = static_cast<DeckID>(item->data(Qt::UserRole).toInt());
    QMetaObject::invokeMethod(
        this, [this, deck] { model_->setDeck(deck); }, Qt::QueuedConnection);
  });
  left->addWidget(decks_);
  left->addSpacing(8);
  left->addWidget(heading(tr("Staged for the Trash")));
  staged_ = new QListWidget;
  staged_->setObjectName(QStringLiteral("stagedList"));
  staged_->setFocusPolicy(Qt::NoFocus);
  staged_->setFrameShape(QFrame::NoFrame);
  staged_->setSelectionMode(QAbstractItemView::NoSelection);
  staged_->setTextElideMode(Qt::ElideMiddle);
  staged_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  left->addWidget(staged_, 1);
  stagedBytes_ = label(QStringLiteral("stagedBytes"));
  stagedBytes_->setWordWrap(true);
  left->addWidget(stagedBytes_);
  commit_ = button(QStringLiteral("commitButton"), tr("Move to Trash"),
                   tr("Move the staged files to the Trash (Ctrl+Enter)"));
  connect(commit_, &QPushButton::clicked, this, &ReviewWindow::commit);
  left->addWidget(commit_);
  result_ = label(QStringLiteral("commitResult"));
  result_->setWordWrap(true);
  left->addWidget(result_);
  emptyTrash_ = button(QStringLiteral("emptyTrashButton"), tr("Empty Trash…"),
                       tr("Empty the whole Trash, for good"));
  connect(emptyTrash_, &QPushButton::clicked, this, &ReviewWindow::emptyTrash);
  left->addWidget(emptyTrash_);
  row->addWidget(side);

  // Right: the current card.
  auto* main = new QVBoxLayout;
  main->setContentsMargins(20, 14, 20, 14);
  main->setSpacing(6);
  {
    auto* top = new QHBoxLayout;
    position_ = label(QStringLiteral("positionLabel"));
    setSecondary(position_);
    scan_ = label(QStringLiteral("scanLabel"));
    setSecondary(scan_);
    top->addWidget(position_);
    top->addStretch(1);
    top->addWidget(scan_);
    main->addLayout(top);
  }
  preview_ = new QLabel;
  preview_->setObjectName(QStringLiteral("preview"));
  preview_->setAlignment(Qt::AlignCenter);
  preview_->setMinimumSize(360, 240);
  preview_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  preview_->setWordWrap(true);
  main->addWidget(preview_, 1);
  name_ = label(QStringLiteral("cardName"), 15, true);
  name_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  folder_ = label(QStringLiteral("cardFolder"));
  reasons_ = label(QStringLiteral("cardReasons"));
  dates_ = label(QStringLiteral("cardDates"));
  setSecondary(folder_);
  setSecondary(dates_);
  for (QLabel* text : {name_, folder_, reasons_, dates_}) {
    text->setWordWrap(true);
    main->addWidget(text);
  }
  stripCaption_ = label(QStringLiteral("stripCaption"));
  stripCaption_->setText(tr("Click the copy to keep; the others go to the Trash."));
  setSecondary(stripCaption_);
  main->addWidget(stripCaption_);
  strip_ = new QScrollArea;
  strip_->setObjectName(QStringLiteral("memberStrip"));
  strip_->setFocusPolicy(Qt::NoFocus);
  strip_->setFrameShape(QFrame::NoFrame);
  strip_->setWidgetResizable(true);
  strip_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  strip_->setFixedHeight(kThumbSize + 84);
  auto* stripContent = new QWidget;
  members_ = new QHBoxLayout(stripContent);
  members_->setContentsMargins(0, 0, 0, 0);
  members_->setSpacing(8);
  strip_->setWidget(stripContent);
  // Thumbnails are decoded as they scroll into view.
  connect(strip_->horizontalScrollBar(), &QScrollBar::valueChanged, this,
          &ReviewWindow::refreshStripIcons);
  main->addWidget(strip_);

  buttons_ = new QWidget;
  auto* actions = new QHBoxLayout(buttons_);
  actions->setContentsMargins(0, 8, 0, 0);
  trash_ = button(QStringLiteral("trashButton"), tr("← Trash"), tr("Stage for the Trash (← or T)"));
  skip_ = button(QStringLiteral("skipButton"), tr("↓ Skip"), tr("Decide later (↓ or S)"));
  keep_ = button(QStringLiteral("keepButton"), tr("Keep →"), tr("Keep this (→ or K)"));
  undo_ = button(QStringLiteral("undoButton"), tr("Undo"), tr("Undo the last decision (U)"));
  open_ = button(QStringLiteral("openButton"), tr("Open"),
                 tr("Open with the default application (Space)"));
  for (QPushButton* b : {trash_, skip_, keep_}) b->setMinimumWidth(110);
  connect(trash_, &QPushButton::clicked, this, &ReviewWindow::trash);
  connect(skip_, &QPushButton::clicked, this, &ReviewWindow::skip);
  connect(keep_, &QPushButton::clicked, this, &ReviewWindow::keep);
  connect(undo_, &QPushButton::clicked, this, &ReviewWindow::undo);
  connect(open_, &QPushButton::clicked, this, &ReviewWindow::openCurrent);
  actions->addWidget(undo_);
  actions->addStretch(1);
  actions->addWidget(trash_);
  actions->addWidget(skip_);
  actions->addWidget(keep_);
  actions->addStretch(1);
  actions->addWidget(open_);
  main->addWidget(buttons_);
  retry_ = button(QStringLiteral("retryButton"), tr("Try Again"), tr("Connect to Tallowick again"));
  connect(retry_, &QPushButton::clicked, this, [this] { model_->open(); });
  main->addWidget(retry_, 0, Qt::AlignHCenter);
  notice_ = label(QStringLiteral("noticeLabel"));
  notice_->setWordWrap(true);
  main->addWidget(notice_);
  row->addLayout(main, 1);

  connect(model_, &ReviewModel::changed, this, &ReviewWindow::refresh);
  connect(model_, &ReviewModel::pictureReady, this, [this] {
    refreshPreview();
    refreshStripIcons();
  });
  refresh();
}

ReviewWindow::~ReviewWindow() = default;

void ReviewWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  model_->open();
  setFocus();
}

void ReviewWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  refreshPreview();
}

void ReviewWindow::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  for (const Key& key : kKeys) {
    if (event->key() == key.key && modifiers == (key.modifiers & ~Qt::KeypadModifier)) {
      (this->*key.action)();
      event->accept();
      return;
    }
  }
  QWidget::keyPressEvent(event);
}

void ReviewWindow::keep() { model_->decide(Action::keep); }
void ReviewWindow::trash() { model_->decide(Action::trash); }
void ReviewWindow::skip() { model_->decide(Action::skip); }
void ReviewWindow::undo() { model_->undo(); }

void ReviewWindow::openCurrent() {
  const Card* card = model_->current();
  if (card == nullptr) return;
  if (std::optional<FileCard> file = card->previewFile()) {
    opener_(QUrl::fromLocalFile(qstring(file->path)));
  }
}

void ReviewWindow::commit() {
  if (model_->staged().empty() || model_->committing()) return;
  model_->commit();
}

void ReviewWindow::emptyTrash() {
  if (!model_->canEmptyTrash()) return;
  if (confirm_(this, tr("Empty Trash"), emptyTrashQuestion())) model_->emptyTrash();
}

void ReviewWindow::refresh() {
  const bool ready = model_->state() == ReviewModel::State::ready;
  refreshDecks();
  refreshCard();
  refreshStaged();
  retry_->setVisible(model_->state() == ReviewModel::State::ended);
  undo_->setEnabled(model_->canUndo());
  if (auto progress = model_->scanProgress()) {
    scan_->setText(
        progress->second > 0
            ? tr("Scanning… %1 of ~%2").arg(progress->first).arg(filesText(progress->second))
            : tr("Scanning… %1").arg(filesText(progress->first)));
  } else {
    scan_->clear();
  }
  QString notice = model_->notice();
  if (!ready && model_->state() == ReviewModel::State::ended) {
    notice = tr("The connection to Tallowick ended: %1").arg(model_->error());
  }
  notice_->setText(notice);
  notice_->setVisible(!notice.isEmpty());
}

void ReviewWindow::refreshDecks() {
  decks_->clear();
  if (!model_->summary()) return;
  if (model_->summary()->decks.empty()) {
    auto* item = new QListWidgetItem(noDecksText(*model_->summary()));
    item->setFlags(Qt::NoItemFlags);
    decks_->addItem(item);
    return;
  }
  for (const Deck& deck : model_->summary()->decks) {
    auto* item = new QListWidgetItem(deckName(deck) + QStringLiteral("\n") +
                                     ViewText::counted(deck.count, "card", "cards") +
                                     QStringLiteral("  ·  ") + ViewText::byteCount(deck.bytes));
    item->setData(Qt::UserRole, static_cast<int>(deck.id));
    decks_->addItem(item);
    if (deck.id == model_->deck()) item->setSelected(true);
  }
}

void ReviewWindow::refreshCard() {
  const Card* card = model_->current();
  const bool ready = model_->state() == ReviewModel::State::ready;
  for (QPushButton* b : {trash_, skip_, keep_, open_}) b->setEnabled(ready && card != nullptr);

  QString deck;
  std::size_t total = model_->cards().size();
  if (model_->summary()) {
    for (const Deck& d : model_->summary()->decks) {
      if (d.id != model_->deck()) continue;
      deck = deckName(d);
      // Until every page is here the server's count says how many there are.
      if (!model_->allLoaded()) total = std::max(total, static_cast<std::size_t>(d.count));
    }
  }
  if (card != nullptr) {
    position_->setText(tr("%1 of %2  ·  %3").arg(model_->position() + 1).arg(total).arg(deck));
  } else {
    position_->setText(deck);
  }

  name_->setVisible(card != nullptr);
  folder_->setVisible(card != nullptr);
  reasons_->setVisible(card != nullptr);
  dates_->setVisible(card != nullptr);
  if (card == nullptr) {
    refreshStrip(nullptr);
    refreshPreview();
    return;
  }
  if (const FileCard* file = card->file()) {
    name_->setText(qstring(file->name));
    folder_->setText(
        tr("in %1  ·  %2").arg(qstring(file->folder), ViewText::byteCount(file->bytes)));
    reasons_->setText(reasonsText(file->reasons));
    dates_->setText(datesText(*file));
    refreshStrip(nullptr);
  } else {
    const GroupCard& group = *card->group();
    const std::optional<FileCard> keeper = group.keeper();
    const bool exact = group.type == GroupType::exact;
    name_->setText(keeper ? qstring(keeper->name) : qstring(card->title()));
    const auto members = static_cast<std::int64_t>(group.members.size());
    folder_->setText((exact ? ViewText::counted(members, "exact copy", "exact copies")
                            : ViewText::counted(members, "similar photo", "similar photos")) +
                     tr("  ·  %1 to free").arg(ViewText::byteCount(group.reclaimable)));
    std::vector<Reason> reasons;
    for (const FileCard& member : group.members) {
      for (Reason reason : member.reasons) {
        if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) {
          reasons.push_back(reason);
        }
      }
    }
    reasons_->setText(reasonsText(reasons));
    dates_->setText(keeper ? tr("Keeping the one in %1").arg(qstring(keeper->folder)) +
                                 QStringLiteral("  ·  ") + datesText(*keeper)
                           : QString());
    refreshStrip(&group);
  }
  refreshPreview();
}

void ReviewWindow::refreshStrip(const GroupCard* group) {
  stripCaption_->setVisible(group != nullptr);
  strip_->setVisible(group != nullptr);
  if (group == nullptr) {
    stripShown_ = false;
    return;
  }
  if (stripShown_ && stripGroup_ == group->id && stripKeeper_ == group->keeperID) return;
  stripShown_ = true;
  stripGroup_ = group->id;
  stripKeeper_ = group->keeperID;
  while (QLayoutItem* item = members_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (const FileCard& member : group->members) {
    auto* tile = new QToolButton;
    tile->setObjectName(QStringLiteral("member"));
    tile->setProperty(kMemberProperty, qstring(member.id.string()));
    tile->setFocusPolicy(Qt::NoFocus);
    tile->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    tile->setIconSize(QSize(kThumbSize, kThumbSize));
    tile->setFixedWidth(kThumbSize + 56);
    tile->setCheckable(true);
    const bool keeps = member.id == group->keeperID;
    tile->setChecked(keeps);
    tile->setAutoRaise(!keeps);
    // Copies often share a folder ("IMG_2041.jpg", "IMG_2041 (1).jpg"), so
    // the name tells them apart and the folder says where each lives.
    const QFontMetrics metrics(tile->font());
    const int width = tile->width() - 8;
    tile->setText((keeps ? tr("✓ Keep") : tr("Trash")) + QStringLiteral("\n") +
                  metrics.elidedText(qstring(member.name), Qt::ElideMiddle, width) +
                  QStringLiteral("\n") +
                  metrics.elidedText(qstring(member.folder), Qt::ElideLeft, width));
    tile->setToolTip(qstring(member.path));
    connect(tile, &QToolButton::clicked, this, [this, groupID = group->id, memberID = member.id] {
      model_->setKeeper(groupID, memberID);
      refreshCard();
    });
    members_->addWidget(tile);
  }
  members_->addStretch(1);
  refreshStripIcons();
}

void ReviewWindow::refreshStripIcons() {
  const Card* card = model_->current();
  if (card == nullptr || card->group() == nullptr || !strip_->isVisible()) return;
  const QRect visible(strip_->widget()->mapFrom(strip_->viewport(), QPoint(0, 0)),
                      strip_->viewport()->size());
  for (int i = 0; i < members_->count(); ++i) {
    auto* tile = qobject_cast<QToolButton*>(members_->itemAt(i)->widget());
    if (tile == nullptr || !tile->icon().isNull()) continue;
    // Only the tiles in view (with a little margin) are decoded.
    if (!visible.adjusted(-kThumbSize, 0, kThumbSize, 0).intersects(tile->geometry())) continue;
    const QString id = tile->property(kMemberProperty).toString();
    for (const FileCard& member : card->group()->members) {
      if (qstring(member.id.string()) != id) continue;
      QImage thumb = model_->thumbnail(member);
      if (!thumb.isNull()) {
        tile->setIcon(QPixmap::fromImage(
            thumb.scaled(kThumbSize, kThumbSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
      } else if (!member.thumb) {
        tile->setIcon(placeholder(QSize(kThumbSize, kThumbSize), member, QString(), palette()));
      }
    }
  }
}

int ReviewWindow::previewPixels() const {
  const QSize size = preview_->size() * devicePixelRatioF();
  return std::max(size.width(), size.height());
}

void ReviewWindow::refreshPreview() {
  const Card* card = model_->current();
  const QSize size = preview_->size();
  if (model_->state() != ReviewModel::State::ready) {
    preview_->setPixmap({});
    preview_->setText(model_->state() == ReviewModel::State::ended
                          ? tr("Not connected to Tallowick.")
                          : tr("Connecting to Tallowick…"));
    return;
  }
  if (card == nullptr) {
    preview_->setPixmap({});
    if (model_->loading()) {
      preview_->setText(tr("Loading cards…"));
    } else if (model_->summary() && model_->summary()->decks.empty()) {
      preview_->setText(noDecksText(*model_->summary()));
    } else if (model_->staged().empty()) {
      preview_->setText(tr("Nothing left to review in this deck."));
    } else {
      preview_->setText(
          tr("Nothing left to review in this deck.\nMove the staged files to the "
             "Trash with Ctrl+Enter."));
    }
    return;
  }
  const std::optional<FileCard> file = card->previewFile();
  if (!file) {
    preview_->setPixmap({});
    preview_->setText(QString());
    return;
  }
  QImage image = model_->preview(*file, previewPixels());
  if (image.isNull()) image = model_->thumbnail(*file);
  if (image.isNull()) {
    const bool picture = file->kind == Kind::image || file->kind == Kind::video;
    const QString caption = picture && !model_->hasNoPreview(file->id) ? tr("Loading the preview…")
                                                                       : kindWord(file->kind);
    preview_->setPixmap(placeholder(size, *file, caption, palette()));
    return;
  }
  QPixmap pixmap = QPixmap::fromImage(
      image.scaled(size * devicePixelRatioF(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
  {
    // A light picture on the light window needs its edge drawn.
    QPainter painter(&pixmap);
    painter.setPen(QPen(palette().color(QPalette::Mid), devicePixelRatioF()));
    painter.drawRect(QRectF(pixmap.rect()).adjusted(0.5, 0.5, -0.5, -0.5));
  }
  pixmap.setDevicePixelRatio(devicePixelRatioF());
  preview_->setPixmap(pixmap);
}

void ReviewWindow::refreshStaged() {
  staged_->clear();
  int files = 0;
  for (const Card& card : model_->staged()) {
    files += card.fileCount();
    // A group is titled by the copy it keeps; the list names the files that
    // go, with their paths on hover (copies often share a name).
    for (const FileCard& file : filesATrashMoves(card)) {
      auto* row = new QListWidgetItem(
          qstring(file.name) + QStringLiteral("  ·  ") + ViewText::byteCount(file.bytes), staged_);
      row->setToolTip(qstring(file.path));
    }
  }
  stagedBytes_->setText(
      model_->staged().empty()
          ? tr("Nothing staged yet. Trash a card to stage it.")
          : tr("%1 staged  ·  frees %2")
                .arg(filesText(files), ViewText::byteCount(model_->stagedBytes())));
  commit_->setEnabled(model_->state() == ReviewModel::State::ready && !model_->staged().empty() &&
                      !model_->committing());

  QString result;
  if (const auto& commit = model_->lastCommit()) {
    result = tr("Moved %1 to the Trash, %2 freed.")
                 .arg(filesText(commit->trashed), ViewText::byteCount(commit->freed));
    // The refusals grouped by their reason.
    std::map<QString, QStringList> byReason;
    for (const ReviewModel::Refusal& refusal : model_->commitRefusals()) {
      byReason[refusal.reason] << refusal.name;
    }
    for (const auto& [reason, names] : byReason) {
      result += QStringLiteral("\n") +
                tr("Not moved (%1): %2").arg(reason, names.join(QStringLiteral(", ")));
    }
    if (model_->trashEmptied()) result += QStringLiteral("\n") + tr("The Trash was emptied.");
  }
  result_->setText(result);
  result_->setVisible(!result.isEmpty());
  emptyTrash_->setVisible(model_->canEmptyTrash());
}

}  // namespace tallowick
