#pragma once
// The popover: the panel the tray icon opens. Top to bottom: the header
// with the status dot and line, the reclaimable amount with the summary
// line, the scan line with its "Rescan" button, the pairing QR code and
// six-digit code with the paired phones (each with a forget button), the
// hint about "last opened" dates while the agent says they cannot be read,
// and the menu (folders, launch at login, Trash, updates, quit).
//
// It redraws from the agent's state whenever the agent signals a change,
// and its controls call the agent only. Children carry object names
// ("statusLine", "summaryLine", "codeLabel", ...) so tests find them.

#include <QElapsedTimer>
#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QProgressBar;
class QVBoxLayout;

namespace tallowick {

class Agent;
class QRView;

class PopoverView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 320;

  // `openFolders` opens the folder window. `asWindow`: a normal window
  // (no tray to anchor it); otherwise a frameless panel that hides when it
  // loses focus.
  PopoverView(Agent& agent, std::function<void()> openFolders, bool asWindow,
              QWidget* parent = nullptr);

  // What "Review…" opens: the review window.
  void setOpenReview(std::function<void()> openReview) { openReview_ = std::move(openReview); }

  // Redraws every section from the agent's state.
  void refresh();
  // Shows the popover with its top-left corner near `anchor` (the tray
  // icon's corner, or the pointer), kept inside that screen.
  void showNear(const QPoint& anchor);
  // Shows it at `anchor`, or hides it when it is open (a click on the tray
  // icon that took the focus away from it does not reopen it).
  void toggle(const QPoint& anchor);

 protected:
  void showEvent(QShowEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void refreshDevices();

  Agent& agent_;
  std::function<void()> openFolders_;
  std::function<void()> openReview_;
  bool asWindow_;
  QElapsedTimer hiddenByFocus_;

  QWidget* dot_;
  QLabel* statusLine_;
  QLabel* savings_;
  QLabel* summary_;
  QLabel* lastScan_;
  QProgressBar* progress_;
  QLabel* progressText_;
  QRView* qr_;
  QLabel* codeCaption_;
  QLabel* code_;
  QVBoxLayout* devices_;
  QWidget* hint_;
  QCheckBox* launchAtLogin_;
  QLabel* folderCount_;
};

}  // namespace tallowick
