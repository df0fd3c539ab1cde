#include "agent/tray_icon.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>

#include "agent/agent.h"
#include "agent/folders_view.h"
#include "agent/popover_view.h"
#include "agent/review_window.h"
#include "agent/welcome_view.h"

namespace tallowick {
namespace {

void bringToFront(QWidget* window) {
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace

QIcon TrayIcon::icon(bool connected) {
  const QString name = QString::fromLatin1(connected ? kConnectedIcon : kIdleIcon);
  return QIcon::fromTheme(name, QIcon(QStringLiteral(":/icons/") + name + QStringLiteral(".svg")));
}

TrayIcon::TrayIcon(Agent& agent, QObject* parent)
    : QObject(parent), agent_(agent), menu_(std::make_unique<QMenu>()) {
  const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
  popover_ = std::make_unique<PopoverView>(
      agent_, [this] { openFolders(); }, /*asWindow=*/!hasTray);
  popover_->setOpenReview([this] {
    if (popover_->isVisible() && popover_->windowFlags().testFlag(Qt::FramelessWindowHint)) {
      popover_->hide();
    }
    showReview();
  });

  // Some panels only ever show the menu, so it offers everything.
  menu_->addAction(tr("Show Tallowick"), this, [this] {
    if (!popover_->isVisible()) togglePopover();
  });
  menu_->addAction(tr("Review…"), this, [this] { showReview(); });
  menu_->addAction(tr("Rescan"), this, [this] { agent_.rescan(); });
  menu_->addAction(tr("Folders…"), this, [this] { openFolders(); });
  launchAtLogin_ = menu_->addAction(tr("Launch at login"));
  launchAtLogin_->setCheckable(true);
  connect(launchAtLogin_, &QAction::triggered, this,
          [this](bool checked) { agent_.setLaunchAtLogin(checked); });
  menu_->addAction(tr("Show Trash"), this, [this] { agent_.showTrash(); });
  menu_->addAction(tr("Check for Updates…"), this, [this] {
    const Agent::UpdateCheck check = agent_.checkForUpdates();
    if (!check.opened) QMessageBox::information(nullptr, tr("Check for Updates"), check.message);
  });
  menu_->addSeparator();
  menu_->addAction(tr("Quit"), this, [this] { agent_.quit(); });
  tray_.setContextMenu(menu_.get());
  tray_.setIcon(icon(false));
  tray_.setToolTip(QStringLiteral("Tallowick"));

  connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger) togglePopover();
  });
  connect(&agent_, &Agent::stateChanged, this, &TrayIcon::refresh);
  refresh();
}

TrayIcon::~TrayIcon() {
  delete folders_.data();
  delete welcome_.data();
  delete review_.data();
}

void TrayIcon::show() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_.show();
  } else {
    bringToFront(popover_.get());
  }
}

void TrayIcon::togglePopover() {
  // Most panels report no geometry for their icons; the pointer is where
  // the click was.
  const QRect where = tray_.geometry();
  const QPoint anchor = where.isValid() && !where.isEmpty()
                            ? QPoint(where.center().x(), where.bottom() + 1)
                            : QCursor::pos();
  QPoint corner = anchor;
  if (where.isValid() && !where.isEmpty() && QGuiApplication::screenAt(anchor) &&
      anchor.y() > QGuiApplication::screenAt(anchor)->availableGeometry().center().y()) {
    corner.setY(where.top());  // a bottom panel: open above the icon
  }
  popover_->toggle(corner);
}

void TrayIcon::openFolders() {
  if (!folders_) {
    folders_ = new FoldersView(agent_);
    folders_->setAttribute(Qt::WA_DeleteOnClose);
  }
  bringToFront(folders_);
}

void TrayIcon::showReview() {
  if (!review_) {
    // Closing it ends its connection; the next one pairs no more.
    review_ = new ReviewWindow(agent_);
    review_->setAttribute(Qt::WA_DeleteOnClose);
  }
  bringToFront(review_);
}

void TrayIcon::showWelcome() {
  if (!welcome_) {
    // Kept when closed, so the same window comes back within this launch.
    welcome_ = new WelcomeView(agent_);
  }
  welcome_->move(welcome_->screen()->availableGeometry().center() - welcome_->rect().center());
  bringToFront(welcome_);
}

void TrayIcon::refresh() {
  const bool connected = agent_.status().phone.has_value();
  if (connected != connected_) {
    connected_ = connected;
    tray_.setIcon(icon(connected));
  }
  launchAtLogin_->setChecked(agent_.launchAtLogin());
}

}  // namespace tallowick
