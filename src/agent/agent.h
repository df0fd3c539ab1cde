#pragma once
// The agent: the one controller of the program a user keeps running. It
// keeps the folder list (in the settings file), owns the phone server and
// feeds it, turns the server's events into state the views read, rescans
// every six hours, has the server restart its listener after every wake of
// the machine, and offers the small desktop actions the views need (launch
// at login, show the Trash, check for updates).
//
// Views (the tray icon, popover, folder and welcome windows, the headless
// console) read the state below, redraw on the change signals and call the
// operations; none of them holds the server.
//
// Threading: the agent lives on the Qt main thread and every member is
// called there. The server calls back on its own queue; each event is posted
// to the main thread (a queued call) and reaches handle() there, in order.
// Calls into the server only post work to its queue, so the main thread
// never waits for a scan or a commit.
//
// Qt Core only (plus QtDBus for the wake source): the agent runs under
// QCoreApplication without a display. Built with QT_NO_KEYWORDS (the
// server has a member named emit): Q_SIGNALS, Q_SLOTS and Q_EMIT.

#include <QObject>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/wake_source.h"
#include "core/scan/scan_root.h"
#include "core/server/server.h"
#include "shared/phone_client.h"

namespace tallowick {

class Agent : public QObject {
  Q_OBJECT

 public:
  // Smallest file size the scans record.
  static constexpr std::int64_t kMinBytes = 1048576;
  // Log lines kept after a log event.
  static constexpr std::size_t kLogLines = 8;
  static constexpr std::chrono::milliseconds kRescanInterval = std::chrono::hours(6);
  // Settings keys.
  static constexpr const char* kScanRootsKey = "scanRoots";
  static constexpr const char* kSeenWelcomeKey = "seenWelcome";
  // The device ID the review window pairs as (its key is in the keychain of
  // the storage folder), and the name it shows the server.
  static constexpr const char* kReviewDeviceKey = "reviewDevice";
  static constexpr const char* kReviewDeviceName = "this computer";

  // The platform parts, each replaceable so tests run without a display, a
  // system bus or the user's real files. Parts() holds the real ones.
  struct Parts {
    // The settings file; null means QSettings("Tallowick", "Tallowick
    // Agent"), that is $XDG_CONFIG_HOME/Tallowick/Tallowick Agent.conf.
    std::unique_ptr<QSettings> settings;
    // Null means logind's PrepareForSleep on the system bus; with no
    // system bus there is no wake observer (and no error).
    std::unique_ptr<WakeSource> wake;
    bool useSystemWake = true;  // false: no wake source unless `wake` is given
    std::chrono::milliseconds rescanInterval = kRescanInterval;
    // Empty means the defaults: the computer name ($XDG_DATA_HOME/Tallowick,
    // the user's autostart folder, this program's path).
    std::string macName;
    std::string storage;
    std::string autostartFile;  // .../autostart/tallowick-agent.desktop
    std::string program;        // the Exec= line of the autostart entry
    // Listener settings passed to the server (headless --port, --bind,
    // --no-advertise).
    std::uint16_t port = 0;
    std::string bindAddress;
    bool advertise = true;
    // The mounts whose Trash emptying the Trash clears besides the home
    // Trash; every mounted file system when absent (tests keep to theirs).
    std::optional<std::vector<std::string>> trashTopdirs;
  };

  // How the review window reaches the server: as a phone over loopback.
  struct ReviewLogin {
    PhoneClient::Endpoint endpoint;
    PhoneClient::Login login;
    // The login is the pairing offer: keep it with keepReviewDevice() once
    // the server accepted it.
    bool pairing = false;
  };

  // What "Check for Updates…" did.
  struct UpdateCheck {
    // A software centre was started on its updates page.
    bool opened = false;
    // Otherwise the text to show the user, with the version.
    QString message;
  };

  // The single agent of the process, created with Parts() on first use and
  // never released.
  static Agent& shared();
  // Creates the single agent with `parts`. REQUIRES: shared() was not
  // called before.
  static Agent& makeShared(Parts parts);

  // Reads the folder list (or takes the default roots). A QCoreApplication
  // must exist. Tests make their own agents; the program uses shared().
  explicit Agent(Parts parts);
  // Destroys the server (which joins its queue) before anything it posts to.
  ~Agent() override;

  // --- State (read by the views; each change is signalled below) ---

  // The server's last status snapshot: scan date and counts, `scanning`
  // progress, the connected `phone`, `listening`, the pairing `code`,
  // `pairingPaused`, the `qrPayload` to draw as a QR code (level M),
  // the paired `devices` and the server's `roots`. Default before start().
  const Server::Status& status() const { return status_; }
  // The last log lines, oldest first (at most 8 after each server log
  // line; "listening on N" lines and errors of the agent's own are appended
  // and trimmed by the next server log line).
  const std::vector<std::string>& recentLog() const { return recentLog_; }
  // The folders with their three switches, in order.
  const std::vector<ScanRoot>& roots() const { return roots_; }
  bool launchAtLogin() const { return launchAtLogin_; }
  // Always true on Linux: there is no protected folder to probe, so the
  // views never show the Full Disk Access hint.
  bool fullDiskAccess() const { return fullDiskAccess_; }
  const std::string& macName() const { return macName_; }
  const std::string& storage() const { return storage_; }
  // The release version ("0.9.0").
  static std::optional<QString> appVersion();
  // The port the server listens on, once it does.
  std::optional<std::uint16_t> listeningPort() const { return listeningPort_; }
  // The server, once start() made it; null before. For tests and the
  // headless console; views call the operations below instead.
  Server* server() const { return server_.get(); }

  // The welcome window: shown unless "seenWelcome" is true, or always when
  // `arguments` hold "-welcome" or "--welcome".
  bool shouldShowWelcome(const QStringList& arguments) const;
  bool seenWelcome() const;
  // The welcome window's "Got it": stores "seenWelcome" = true.
  void acknowledgeWelcome();

  // --- Operations (main thread) ---

  // Creates the storage folder, starts the server over the folder list
  // (from the stored report), starts listening and scanning, reads the
  // launch-at-login state, and installs the rescan timer and the wake
  // source. Called once per launch.
  void start();
  // Stops the timer and the wake source and stops the server. The state
  // keeps its values.
  void stop();
  // stop(), then ends the application's event loop.
  void quit();
  // One server event (arrives through a queued call; public for tests).
  void handle(const Server::Event& event);

  // Replaces the folder list, stores it under "scanRoots" and hands it to
  // the server, where it applies from the next scan.
  void setRoots(std::vector<ScanRoot> roots);
  // Appends each folder (absolute paths, as chosen in a folder dialog) not
  // yet in the list, every switch on, then setRoots() (also when nothing
  // was added).
  void addFolders(const std::vector<std::string>& paths);
  // Drops the folder with this path (when there is one), then setRoots().
  void removeRoot(const std::string& path);
  // Replaces the folder with the same path by `root` and calls setRoots();
  // false (and nothing changes) when no folder has that path.
  bool updateRoot(const ScanRoot& root);

  // Writes or removes the autostart entry, then reads the real state back;
  // a failure appends "Launch at login: " and the error to the log.
  void setLaunchAtLogin(bool enabled);
  // True: no folder of this desktop needs a permission to be read.
  bool probeFullDiskAccess() const;
  // The popover calls this each time it opens.
  void refreshFullDiskAccess();
  // No settings page exists on this desktop; the views never offer it.
  void openFullDiskAccessSettings() {}

  // The login of the review window: the device paired before (kept under
  // "reviewDevice", its key in the keychain) while the server still knows
  // it, else the server's current pairing offer. No value while the server
  // does not listen. Reading the keychain is one small file.
  std::optional<ReviewLogin> reviewLogin() const;
  // Keeps a login the server accepted as the review window's device. False
  // (and the next window pairs again) when its key cannot be stored.
  bool keepReviewDevice(const PhoneClient::Login& login);

  // The server's actions: a scan now, a listener restart (as after a wake),
  // and unpairing a phone (by its device ID).
  void rescan();
  void restartListener();
  void forgetDevice(const std::string& deviceID);

  // Opens trash:/// with the desktop's file manager (xdg-open), else the
  // home Trash folder. False when no opener could be started.
  bool showTrash();
  // Starts the desktop's software centre on its updates page (GNOME
  // Software, KDE Discover) when one is installed; else says that updates
  // come through the system's package manager, with the version.
  UpdateCheck checkForUpdates();

  // The autostart entry written for launch at login.
  static std::string autostartEntry(const std::string& program);
  // Whether the autostart file at `path` starts the agent: it exists and
  // is not Hidden=true (nor switched off by X-GNOME-Autostart-enabled=false).
  static bool autostartEnabled(const std::string& path);

 Q_SIGNALS:
  void statusChanged();
  // `line` was appended to recentLog() (the headless console prints it).
  void lineAppended(const QString& line);
  // The listener could not start (a port taken, an address not ours).
  void listenFailed(const QString& error);
  void recentLogChanged();
  void rootsChanged();
  void launchAtLoginChanged();
  void fullDiskAccessChanged();
  // After any of the signals above.
  void stateChanged();

 private:
  void appendLog(const std::string& line, bool trim);
  std::vector<ScanRoot> storedRoots() const;

  // Server events are posted to this object; declared before server_ so
  // the server (and its queue) is gone before it is.
  QObject eventContext_;
  std::unique_ptr<QSettings> settings_;
  std::unique_ptr<WakeSource> wake_;
  bool useSystemWake_ = true;
  std::chrono::milliseconds rescanInterval_;
  std::string macName_;
  std::string storage_;
  std::string autostartFile_;
  std::string program_;
  std::uint16_t port_ = 0;
  std::string bindAddress_;
  bool advertise_ = true;
  std::optional<std::vector<std::string>> trashTopdirs_;
  std::optional<std::uint16_t> listeningPort_;

  Server::Status status_;
  std::vector<std::string> recentLog_;
  std::vector<ScanRoot> roots_;
  bool launchAtLogin_ = false;
  bool fullDiskAccess_ = true;
  std::unique_ptr<QTimer> scheduleTimer_;
  bool wakeObserved_ = false;
  std::shared_ptr<Server> server_;
};

}  // namespace tallowick
