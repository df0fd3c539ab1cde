#include "agent/folders_view.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "agent/agent.h"
#include "agent/view_text.h"

namespace tallowick {
namespace {

QFrame* divider() {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QLabel* caption(const QString& text, const QString& name) {
  auto* label = new QLabel(text);
  label->setObjectName(name);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, ViewText::toneColour(ViewText::Tone::Starting));
  label->setPalette(palette);
  return label;
}

// The cell of the "Folder" column: the folder's icon, its name and, below,
// its path with the home folder written "~".
QWidget* folderCell(const std::string& path) {
  static QFileIconProvider icons;
  auto* cell = new QWidget;
  auto* row = new QHBoxLayout(cell);
  row->setContentsMargins(6, 2, 6, 2);
  auto* icon = new QLabel;
  QIcon folderIcon = icons.icon(QFileInfo(QString::fromStdString(path)));
  if (folderIcon.isNull()) folderIcon = QIcon::fromTheme(QStringLiteral("folder"));
  icon->setPixmap(folderIcon.pixmap(18, 18));
  auto* texts = new QVBoxLayout;
  texts->setSpacing(0);
  const QString name = QFileInfo(QString::fromStdString(path)).fileName();
  auto* title = new QLabel(name.isEmpty() ? QString::fromStdString(path) : name);
  title->setObjectName(QStringLiteral("folderName"));
  texts->addWidget(title);
  texts->addWidget(caption(ViewText::homeRelativePath(path, QDir::homePath().toStdString()),
                           QStringLiteral("folderPath")));
  row->addWidget(icon);
  row->addLayout(texts, 1);
  return cell;
}

QWidget* centred(QWidget* widget) {
  auto* cell = new QWidget;
  auto* row = new QHBoxLayout(cell);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(widget, 0, Qt::AlignCenter);
  return cell;
}

}  // namespace

FoldersView::FoldersView(Agent& agent, QWidget* parent) : QWidget(parent), agent_(agent) {
  setObjectName(QStringLiteral("folders"));
  setWindowTitle(tr("Folders"));
  setMinimumSize(560, 320);
  resize(640, 360);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  auto* note =
      caption(tr("Tallowick only ever suggests files inside these folders, and only moves them to "
                 "the Trash."),
              QStringLiteral("note"));
  note->setWordWrap(true);
  note->setContentsMargins(12, 12, 12, 12);
  column->addWidget(note);
  column->addWidget(divider());

  table_ = new QTableWidget(0, kColumns);
  table_->setObjectName(QStringLiteral("table"));
  table_->setHorizontalHeaderLabels(
      {tr("Folder"), tr("Duplicates"), tr("Screenshots"), tr("Stale files"), QString()});
  table_->verticalHeader()->hide();
  table_->setShowGrid(false);
  table_->setSelectionMode(QAbstractItemView::NoSelection);
  table_->setFrameShape(QFrame::NoFrame);
  QHeaderView* header = table_->horizontalHeader();
  header->setSectionResizeMode(kFolder, QHeaderView::Stretch);
  for (int c : {kDuplicates, kScreenshots, kStale}) {
    header->setSectionResizeMode(c, QHeaderView::Fixed);
    table_->setColumnWidth(c, 90);
  }
  header->setSectionResizeMode(kRemove, QHeaderView::Fixed);
  table_->setColumnWidth(kRemove, 30);
  column->addWidget(table_, 1);
  column->addWidget(divider());

  auto* footer = new QHBoxLayout;
  footer->setContentsMargins(12, 8, 12, 8);
  auto* add = new QPushButton(QIcon::fromTheme(QStringLiteral("list-add")), tr("Add Folder…"));
  add->setObjectName(QStringLiteral("addFolder"));
  connect(add, &QPushButton::clicked, this, [this] {
    const std::vector<std::string> chosen = chooseFolders(this);
    if (!chosen.empty()) agent_.addFolders(chosen);
  });
  auto* rescan = new QPushButton(tr("Rescan now"));
  rescan->setObjectName(QStringLiteral("rescanNow"));
  connect(rescan, &QPushButton::clicked, this, [this] { agent_.rescan(); });
  footer->addWidget(add);
  footer->addSpacing(8);
  footer->addWidget(caption(tr("Changes apply to the next scan."), QStringLiteral("footerNote")));
  footer->addStretch(1);
  footer->addWidget(rescan);
  column->addLayout(footer);

  connect(&agent_, &Agent::rootsChanged, this, &FoldersView::refresh);
  refresh();
}

void FoldersView::refresh() {
  const std::vector<ScanRoot>& roots = agent_.roots();
  table_->setRowCount(static_cast<int>(roots.size()));
  for (int row = 0; row < static_cast<int>(roots.size()); ++row) {
    const ScanRoot& root = roots[static_cast<std::size_t>(row)];
    table_->setCellWidget(row, kFolder, folderCell(root.path()));
    // Each switch sends a copy of its row's folder with the new value.
    const std::pair<Column, bool ScanRoot::*> switches[] = {{kDuplicates, &ScanRoot::duplicates},
                                                            {kScreenshots, &ScanRoot::screenshots},
                                                            {kStale, &ScanRoot::stale}};
    for (auto [columnIndex, member] : switches) {
      auto* box = new QCheckBox;
      box->setChecked(root.*member);
      connect(box, &QCheckBox::toggled, this, [this, root, member](bool on) {
        ScanRoot changed = root;
        changed.*member = on;
        agent_.updateRoot(changed);
      });
      table_->setCellWidget(row, columnIndex, centred(box));
    }
    auto* remove = new QToolButton;
    remove->setAutoRaise(true);
    remove->setIcon(QIcon::fromTheme(QStringLiteral("list-remove")));
    if (remove->icon().isNull()) remove->setText(QStringLiteral("−"));
    remove->setToolTip(tr("Stop scanning this folder"));
    connect(remove, &QToolButton::clicked, this,
            [this, path = root.path()] { agent_.removeRoot(path); });
    table_->setCellWidget(row, kRemove, centred(remove));
    table_->setRowHeight(row, 44);
  }
}

std::vector<std::string> FoldersView::chooseFolders(QWidget* parent) {
  // Qt's own dialog: the desktop's choosers pick one folder at a time.
  QFileDialog dialog(parent);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setLabelText(QFileDialog::Accept, tr("Add"));
  dialog.setWindowTitle(tr(
      "Choose folders Tallowick may suggest cleaning up. Nothing is ever deleted outside them."));
  for (auto* view : dialog.findChildren<QAbstractItemView*>()) {
    if (qobject_cast<QListView*>(view) || qobject_cast<QTreeView*>(view)) {
      view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }
  }
  if (dialog.exec() != QDialog::Accepted) return {};
  std::vector<std::string> paths;
  for (const QString& file : dialog.selectedFiles()) {
    paths.push_back(QDir::cleanPath(QFileInfo(file).absoluteFilePath()).toStdString());
  }
  return paths;
}

}  // namespace tallowick
