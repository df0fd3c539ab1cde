#include "agent/popover_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStringList>
#include <QToolButton>
#include <QVBoxLayout>

#include <chrono>

#include "agent/agent.h"
#include "agent/named_label.h"
#include "agent/qr_view.h"
#include "agent/view_text.h"

namespace tallowick {
namespace {

// A click on the tray icon first takes the focus from the open popover
// (which hides it) and then arrives as the icon's activation; within this
// time that activation only confirms the hiding.
constexpr qint64 kToggleGraceMs = 300;

QFrame* divider() {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

void setColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::Window, colour);
  widget->setPalette(palette);
}

QColor secondary() { return ViewText::toneColour(ViewText::Tone::Starting); }

QPushButton* menuButton(const QString& name, const QString& text, const QString& icon) {
  auto* button = new QPushButton(QIcon::fromTheme(icon), text);
  button->setObjectName(name);
  button->setFlat(true);
  button->setStyleSheet(QStringLiteral("text-align: left; padding: 3px 0px;"));
  return button;
}

}  // namespace

PopoverView::PopoverView(Agent& agent, std::function<void()> openFolders, bool asWindow,
                         QWidget* parent)
    : QWidget(parent), agent_(agent), openFolders_(std::move(openFolders)), asWindow_(asWindow) {
  setObjectName(QStringLiteral("popover"));
  setWindowTitle(QStringLiteral("Tallowick"));
  setWindowFlags(asWindow_ ? Qt::Window
                           : Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setAutoFillBackground(true);
  setFixedWidth(kWidth);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  auto section = [column](int horizontal = 16, int vertical = 16) {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(horizontal, vertical, horizontal, vertical);
    layout->setSpacing(6);
    column->addWidget(box);
    return std::pair{box, layout};
  };

  // 1. Header.
  {
    auto [box, layout] = section();
    auto* title = namedLabel(QStringLiteral("title"), 0, true);
    title->setText(tr("Tallowick"));
    layout->addWidget(title);
    auto* row = new QHBoxLayout;
    dot_ = new QWidget;
    dot_->setObjectName(QStringLiteral("statusDot"));
    dot_->setFixedSize(7, 7);
    statusLine_ = namedLabel(QStringLiteral("statusLine"));
    row->addWidget(dot_);
    row->addWidget(statusLine_, 1);
    layout->addLayout(row);
  }
  column->addWidget(divider());
  // 2. Savings.
  {
    auto [box, layout] = section();
    savings_ = namedLabel(QStringLiteral("savings"), 18, true);
    savings_->setFont([f = savings_->font()]() mutable {
      f.setStyleHint(QFont::Monospace, QFont::PreferDefault);
      return f;
    }());
    summary_ = namedLabel(QStringLiteral("summaryLine"), 9);
    layout->addWidget(savings_);
    layout->addWidget(summary_);
  }
  column->addWidget(divider());
  // 3. Scan line.
  {
    auto [box, layout] = section();
    auto* row = new QHBoxLayout;
    lastScan_ = namedLabel(QStringLiteral("lastScan"), 9);
    setColour(lastScan_, secondary());
    progress_ = new QProgressBar;
    progress_->setObjectName(QStringLiteral("scanProgress"));
    progress_->setMaximumWidth(140);
    progress_->setTextVisible(false);
    progressText_ = namedLabel(QStringLiteral("scanProgressText"), 9);
    auto* rescan = new QPushButton(tr("Rescan"));
    rescan->setObjectName(QStringLiteral("rescan"));
    connect(rescan, &QPushButton::clicked, this, [this] { agent_.rescan(); });
    row->addWidget(lastScan_);
    row->addWidget(progress_);
    row->addWidget(progressText_);
    row->addStretch(1);
    row->addWidget(rescan);
    layout->addLayout(row);
  }
  column->addWidget(divider());
  // 4. Pairing.
  {
    auto [box, layout] = section();
    qr_ = new QRView;
    qr_->setObjectName(QStringLiteral("qr"));
    layout->addWidget(qr_, 0, Qt::AlignHCenter);
    codeCaption_ = namedLabel(QStringLiteral("codeCaption"), 9);
    codeCaption_->setAlignment(Qt::AlignHCenter);
    code_ = namedLabel(QStringLiteral("codeLabel"), 20, true);
    code_->setAlignment(Qt::AlignHCenter);
    code_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    code_->setGraphicsEffect(new QGraphicsOpacityEffect(code_));
    layout->addWidget(codeCaption_);
    layout->addWidget(code_);
    devices_ = new QVBoxLayout;
    layout->addLayout(devices_);
  }
  // 5. The hint; hidden while the dates can be read (always, on Linux).
  {
    hint_ = new QWidget;
    hint_->setObjectName(QStringLiteral("accessHint"));
    auto* outer = new QVBoxLayout(hint_);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(divider());
    auto* row = new QHBoxLayout;
    row->setContentsMargins(16, 10, 16, 10);
    auto* icon = new QLabel;
    icon->setPixmap(QIcon::fromTheme(QStringLiteral("dialog-warning")).pixmap(16, 16));
    auto* text = new QLabel(tr("Access to file dates needed") + QStringLiteral("\n") +
                            tr("for accurate “last opened” dates"));
    row->addWidget(icon);
    row->addWidget(text, 1);
    outer->addLayout(row);
    column->addWidget(hint_);
  }
  column->addWidget(divider());
  // 6. Menu.
  {
    auto [box, layout] = section(16, 10);
    layout->setSpacing(2);
    auto* review = menuButton(QStringLiteral("review"), tr("Review…"), "edit-find");
    review->setToolTip(tr("Sort the suggestions here, with the keyboard"));
    connect(review, &QPushButton::clicked, this, [this] {
      if (openReview_) openReview_();
    });
    auto* folders = menuButton(QStringLiteral("folders"), tr("Folders…"), "folder");
    connect(folders, &QPushButton::clicked, this, [this] {
      if (openFolders_) openFolders_();
    });
    launchAtLogin_ = new QCheckBox(tr("Launch at login"));
    launchAtLogin_->setObjectName(QStringLiteral("launchAtLogin"));
    connect(launchAtLogin_, &QCheckBox::clicked, this,
            [this](bool checked) { agent_.setLaunchAtLogin(checked); });
    auto* trash = menuButton(QStringLiteral("showTrash"), tr("Show Trash"), "user-trash");
    connect(trash, &QPushButton::clicked, this, [this] { agent_.showTrash(); });
    auto* updates = menuButton(QStringLiteral("checkForUpdates"), tr("Check for Updates…"),
                               "system-software-update");
    updates->setToolTip(tr("Version ") + Agent::appVersion().value_or(QString()));
    connect(updates, &QPushButton::clicked, this, [this] {
      const Agent::UpdateCheck check = agent_.checkForUpdates();
      if (check.opened) return;
      auto* box = new QMessageBox(QMessageBox::Information, tr("Check for Updates"), check.message,
                                  QMessageBox::Ok, this);
      box->setAttribute(Qt::WA_DeleteOnClose);
      box->open();
    });
    folderCount_ = namedLabel(QStringLiteral("folderCount"), 9);
    setColour(folderCount_, secondary());
    auto* quit = menuButton(QStringLiteral("quit"), tr("Quit"), "application-exit");
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QPushButton::clicked, this, [this] { agent_.quit(); });
    for (QWidget* widget : {static_cast<QWidget*>(review), static_cast<QWidget*>(folders),
                            static_cast<QWidget*>(launchAtLogin_), static_cast<QWidget*>(trash),
                            static_cast<QWidget*>(updates), static_cast<QWidget*>(folderCount_),
                            static_cast<QWidget*>(quit)}) {
      layout->addWidget(widget);
    }
  }

  connect(&agent_, &Agent::stateChanged, this, &PopoverView::refresh);
  refresh();
}

void PopoverView::refresh() {
  const ServerStatus& status = agent_.status();
  const ViewText::StatusLine line = ViewText::statusLine(status);
  const QColor colour = ViewText::toneColour(line.tone);
  statusLine_->setText(line.text);
  setColour(statusLine_, colour);
  dot_->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;").arg(colour.name()));

  savings_->setText(ViewText::byteCount(status.reclaimable) + tr(" reclaimable"));
  summary_->setText(ViewText::summaryLine(status));

  const bool scanning = status.scanning.has_value();
  lastScan_->setVisible(!scanning);
  progress_->setVisible(scanning);
  progressText_->setVisible(scanning);
  if (scanning) {
    const auto fraction = ViewText::scanFraction(*status.scanning);
    progress_->setRange(0, fraction ? 1000 : 0);  // 0..0: indeterminate
    progress_->setValue(fraction ? static_cast<int>(*fraction * 1000) : 0);
    progressText_->setText(ViewText::scanProgressText(*status.scanning));
  } else {
    lastScan_->setText(ViewText::lastScanLine(
        status.scannedAt,
        std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now())));
  }

  qr_->setPayload(status.qrPayload);
  if (status.pairingPaused) {
    codeCaption_->setText(tr("Too many wrong codes — try again in a minute"));
    setColour(codeCaption_, ViewText::toneColour(ViewText::Tone::Scanning));
  } else {
    codeCaption_->setText(tr("Scan with the iPhone app, or enter code"));
    setColour(codeCaption_, secondary());
  }
  code_->setText(ViewText::codeText(status.code));
  static_cast<QGraphicsOpacityEffect*>(code_->graphicsEffect())
      ->setOpacity(status.pairingPaused ? 0.35 : 1.0);
  refreshDevices();

  hint_->setVisible(!agent_.fullDiskAccess());
  launchAtLogin_->setChecked(agent_.launchAtLogin());
  folderCount_->setText(
      ViewText::counted(static_cast<std::int64_t>(agent_.roots().size()), "folder", "folders"));
  QStringList paths;
  for (const ScanRoot& root : agent_.roots()) paths << QString::fromStdString(root.path());
  folderCount_->setToolTip(paths.join('\n'));
  adjustSize();
}

void PopoverView::refreshDevices() {
  while (QLayoutItem* item = devices_->takeAt(0)) {
    if (item->layout()) {
      while (QLayoutItem* inner = item->layout()->takeAt(0)) {
        delete inner->widget();
        delete inner;
      }
    }
    delete item->widget();
    delete item;
  }
  for (const PairingStore::Device& device : agent_.status().devices) {
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(QIcon::fromTheme(QStringLiteral("phone")).pixmap(16, 16));
    auto* name = new QLabel(tr("Paired: ") + QString::fromStdString(device.name));
    name->setObjectName(QStringLiteral("device"));
    auto* forget = new QToolButton;
    forget->setObjectName(QStringLiteral("forget"));
    forget->setAutoRaise(true);
    forget->setIcon(QIcon::fromTheme(QStringLiteral("window-close")));
    if (forget->icon().isNull()) forget->setText(QStringLiteral("✕"));
    forget->setToolTip(tr("Forget this phone. It will need to scan the QR again."));
    connect(forget, &QToolButton::clicked, this,
            [this, id = device.deviceID] { agent_.forgetDevice(id); });
    row->addWidget(icon);
    row->addWidget(name, 1);
    row->addWidget(forget);
    devices_->addLayout(row);
  }
}

void PopoverView::showNear(const QPoint& anchor) {
  adjustSize();
  QScreen* screen = QGuiApplication::screenAt(anchor);
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(anchor, size());
  // Opens away from the panel: below a top panel, above a bottom one.
  QPoint corner(anchor.x() - width() / 2, anchor.y());
  if (anchor.y() > area.center().y()) corner.setY(anchor.y() - height());
  corner.setX(std::clamp(corner.x(), area.left(), std::max(area.left(), area.right() - width())));
  corner.setY(std::clamp(corner.y(), area.top(), std::max(area.top(), area.bottom() - height())));
  move(corner);
  show();
  raise();
  activateWindow();
}

void PopoverView::toggle(const QPoint& anchor) {
  if (isVisible()) {
    hide();
    return;
  }
  if (hiddenByFocus_.isValid() && hiddenByFocus_.elapsed() < kToggleGraceMs) {
    hiddenByFocus_.invalidate();
    return;
  }
  showNear(anchor);
}

void PopoverView::showEvent(QShowEvent* event) {
  agent_.refreshFullDiskAccess();
  QWidget::showEvent(event);
}

bool PopoverView::event(QEvent* event) {
  if (event->type() == QEvent::WindowDeactivate && !asWindow_ && isVisible()) {
    hide();
    hiddenByFocus_.start();
  }
  return QWidget::event(event);
}

}  // namespace tallowick
