#pragma once
// The tray application: the icon in the panel's tray (idle, or with a
// phone connected), its context menu, and the windows it opens: the
// popover on a left click, the folder window and the welcome window. With
// no tray host at all the popover opens as a normal window instead, so the
// agent never runs invisible.

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <memory>

#include "agent/folders_view.h"
#include "agent/review_window.h"
#include "agent/welcome_view.h"

class QAction;
class QMenu;

namespace tallowick {

class Agent;
class PopoverView;

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  // The theme names of the two icons (installed into hicolor; the same
  // files are built in for a run from the build tree).
  static constexpr const char* kIdleIcon = "tallowick-agent";
  static constexpr const char* kConnectedIcon = "tallowick-agent-connected";

  // REQUIRES: a QApplication exists.
  explicit TrayIcon(Agent& agent, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Shows the icon, or the popover as a window when there is no tray.
  void show();
  void showWelcome();
  void openFolders();
  // Shows the review window (one per agent), in front.
  void showReview();
  void togglePopover();

  // The icon for the agent's state: connected while a phone is there.
  static QIcon icon(bool connected);

  QSystemTrayIcon& trayIcon() { return tray_; }
  PopoverView* popover() const { return popover_.get(); }
  FoldersView* folders() const { return folders_; }
  WelcomeView* welcome() const { return welcome_; }
  ReviewWindow* review() const { return review_; }
  QMenu* menu() const { return menu_.get(); }

 private:
  void refresh();

  Agent& agent_;
  QSystemTrayIcon tray_;
  std::unique_ptr<QMenu> menu_;
  QAction* launchAtLogin_ = nullptr;
  std::unique_ptr<PopoverView> popover_;
  QPointer<FoldersView> folders_;
  QPointer<WelcomeView> welcome_;
  QPointer<ReviewWindow> review_;
  bool connected_ = false;
};

}  // namespace tallowick
