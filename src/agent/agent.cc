#include "agent/agent.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <cassert>
#include <exception>
#include <string_view>

#include "core/commit/trash.h"
#include "core/scan/root_list.h"
#include "core/server/computer_name.h"
#include "core/server/stored_report.h"
#include "shared/file_util.h"
#include "shared/keychain.h"
#include "shared/pairing_payload.h"
#include "shared/xdg.h"
#include "tallowick/version.h"

namespace tallowick {
namespace {

Agent* sharedAgent = nullptr;

QString qstring(const std::string& text) { return QString::fromStdString(text); }

// One argument of an Exec= line: quoted when it holds a character the
// desktop entry format reserves, with ", `, $ and \ escaped inside the
// quotes, and every \ doubled again for the file's own string escaping.
std::string execArgument(const std::string& argument) {
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  if (!argument.empty() && argument.find_first_of(kReserved) == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$') {
      quoted += "\\\\";
    } else if (c == '\\') {
      quoted += "\\\\\\";
    }
    quoted += c;
  }
  return quoted + "\"";
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// A desktop's software centre and the arguments that open its updates page.
struct SoftwareCentre {
  const char* program;
  QStringList arguments;
};

const SoftwareCentre kSoftwareCentres[] = {
    {"gnome-software", {"--mode=updates"}},
    {"plasma-discover", {"--mode", "update"}},
    {"update-manager", {}},
};

bool isDirectory(const std::string& path) {
  QFileInfo info(qstring(path));
  return info.exists() && info.isDir();
}

}  // namespace

Agent& Agent::shared() {
  if (sharedAgent == nullptr) sharedAgent = new Agent(Parts());
  return *sharedAgent;
}

Agent& Agent::makeShared(Parts parts) {
  assert(sharedAgent == nullptr);
  sharedAgent = new Agent(std::move(parts));
  return *sharedAgent;
}

Agent::Agent(Parts parts)
    : settings_(std::move(parts.settings)),
      wake_(std::move(parts.wake)),
      useSystemWake_(parts.useSystemWake),
      rescanInterval_(parts.rescanInterval),
      macName_(std::move(parts.macName)),
      storage_(std::move(parts.storage)),
      autostartFile_(std::move(parts.autostartFile)),
      program_(std::move(parts.program)),
      port_(parts.port),
      bindAddress_(std::move(parts.bindAddress)),
      advertise_(parts.advertise),
      trashTopdirs_(std::move(parts.trashTopdirs)) {
  if (!settings_) settings_ = std::make_unique<QSettings>("Tallowick", "Tallowick Agent");
  if (macName_.empty()) macName_ = computerName();
  if (storage_.empty()) storage_ = xdg::defaultStorageDirectory();
  if (autostartFile_.empty()) {
    autostartFile_ = xdg::configHome() + "/autostart/tallowick-agent.desktop";
  }
  if (program_.empty()) program_ = QCoreApplication::applicationFilePath().toStdString();
  roots_ = storedRoots();
  // The defaults are not written back: a user who never edits the list
  // gets the folders of the desktop's current language.
  if (roots_.empty()) roots_ = defaultRoots();
}

Agent::~Agent() {
  server_.reset();
  if (sharedAgent == this) sharedAgent = nullptr;
}

std::vector<ScanRoot> Agent::storedRoots() const {
  const QVariant value = settings_->value(kScanRootsKey);
  if (!value.isValid()) return {};
  try {
    return rootsFromJson(value.toString().toStdString());
  } catch (const std::exception&) {
    return {};
  }
}

std::optional<QString> Agent::appVersion() { return QString::fromUtf8(kVersion); }

bool Agent::seenWelcome() const { return settings_->value(kSeenWelcomeKey, false).toBool(); }

bool Agent::shouldShowWelcome(const QStringList& arguments) const {
  if (arguments.contains("-welcome") || arguments.contains("--welcome")) return true;
  return !seenWelcome();
}

void Agent::acknowledgeWelcome() {
  settings_->setValue(kSeenWelcomeKey, true);
  settings_->sync();
}

void Agent::start() {
  // A failure here shows up in the server's own file operations.
  createDirectories(storage_, 0700);
  Server::Config config(macName_, roots_, kMinBytes, storage_);
  config.advertise = advertise_;
  config.port = port_;
  config.bindAddress = bindAddress_;
  config.trashTopdirs = trashTopdirs_;
  std::optional<Report> report = loadStoredReport(config.reportURL);
  auto server = Server::make(std::move(config), std::move(report), std::nullopt);
  // Runs on the server's queue: only posts the event to the main thread.
  // eventContext_ outlives the server, whose destructor joins its queue.
  server->setOnEvent([this](const Server::Event& event) {
    QMetaObject::invokeMethod(
        &eventContext_, [this, event] { handle(event); }, Qt::QueuedConnection);
  });
  server_ = std::move(server);
  server_->start();
  server_->rescan();

  launchAtLogin_ = autostartEnabled(autostartFile_);
  Q_EMIT launchAtLoginChanged();
  fullDiskAccess_ = probeFullDiskAccess();
  Q_EMIT fullDiskAccessChanged();

  scheduleTimer_ = std::make_unique<QTimer>();
  scheduleTimer_->setInterval(rescanInterval_);
  connect(scheduleTimer_.get(), &QTimer::timeout, this, &Agent::rescan, Qt::QueuedConnection);
  scheduleTimer_->start();

  if (!wake_ && useSystemWake_) wake_ = LogindWakeSource::connectSystemBus();
  if (wake_ && !wakeObserved_) {
    connect(wake_.get(), &WakeSource::woke, this, &Agent::restartListener, Qt::QueuedConnection);
    wakeObserved_ = true;
  }
  Q_EMIT stateChanged();
}

void Agent::stop() {
  if (scheduleTimer_) {
    scheduleTimer_->stop();
    scheduleTimer_.reset();
  }
  if (wake_ && wakeObserved_) {
    disconnect(wake_.get(), &WakeSource::woke, this, &Agent::restartListener);
    wakeObserved_ = false;
  }
  if (server_) server_->stop();
}

void Agent::quit() {
  stop();
  QCoreApplication::quit();
}

void Agent::handle(const Server::Event& event) {
  if (const auto* listening = event.get<Server::Event::Listening>()) {
    listeningPort_ = listening->port;
    appendLog("listening on " + (listening->port ? std::to_string(*listening->port) : "?"), false);
  } else if (const auto* failed = event.get<Server::Event::ListenFailed>()) {
    appendLog("listen failed: " + failed->error, false);
    Q_EMIT listenFailed(QString::fromStdString(failed->error));
  } else if (const auto* log = event.get<Server::Event::Log>()) {
    appendLog(log->line, true);
  } else if (const auto* status = event.get<Server::Event::Status>()) {
    status_ = status->status;
    Q_EMIT statusChanged();
    Q_EMIT stateChanged();
  }
  // Scanned and Committed change nothing the views show: the status that
  // comes with them does.
}

void Agent::appendLog(const std::string& line, bool trim) {
  recentLog_.push_back(line);
  if (trim && recentLog_.size() > kLogLines) {
    recentLog_.erase(recentLog_.begin(), recentLog_.end() - kLogLines);
  }
  Q_EMIT lineAppended(qstring(line));
  Q_EMIT recentLogChanged();
  Q_EMIT stateChanged();
}

void Agent::setRoots(std::vector<ScanRoot> roots) {
  roots_ = std::move(roots);
  settings_->setValue(kScanRootsKey, qstring(rootsToJson(roots_)));
  settings_->sync();
  if (server_) server_->setScanRoots(roots_);
  Q_EMIT rootsChanged();
  Q_EMIT stateChanged();
}

void Agent::addFolders(const std::vector<std::string>& paths) {
  std::vector<ScanRoot> roots = roots_;
  for (const std::string& path : paths) {
    bool known = std::any_of(roots.begin(), roots.end(),
                             [&](const ScanRoot& root) { return root.path() == path; });
    if (!known) roots.push_back(ScanRoot::fromPath(path));
  }
  setRoots(std::move(roots));
}

void Agent::removeRoot(const std::string& path) {
  std::vector<ScanRoot> roots;
  for (const ScanRoot& root : roots_) {
    if (root.path() != path) roots.push_back(root);
  }
  setRoots(std::move(roots));
}

bool Agent::updateRoot(const ScanRoot& root) {
  std::vector<ScanRoot> roots = roots_;
  auto found = std::find_if(roots.begin(), roots.end(),
                            [&](const ScanRoot& r) { return r.path() == root.path(); });
  if (found == roots.end()) return false;
  *found = root;
  setRoots(std::move(roots));
  return true;
}

std::string Agent::autostartEntry(const std::string& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Tallowick Agent\n"
         "Comment=Suggests files you may no longer need and sorts them with your phone\n"
         "Exec=" +
         execArgument(program) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool Agent::autostartEnabled(const std::string& path) {
  auto text = readWholeFile(path);
  if (!text) return false;
  std::string_view rest = *text;
  bool inEntry = false;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = trimmed(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.starts_with('[')) {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    std::size_t equals = line.find('=');
    if (!inEntry || equals == std::string_view::npos) continue;
    std::string_view key = trimmed(line.substr(0, equals));
    std::string_view value = trimmed(line.substr(equals + 1));
    if (key == "Hidden" && value == "true") return false;
    if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
  }
  return true;
}

void Agent::setLaunchAtLogin(bool enabled) {
  const QString path = qstring(autostartFile_);
  QString error;
  if (enabled) {
    QSaveFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
      error = tr("cannot create the folder %1").arg(QFileInfo(path).absolutePath());
    } else if (!file.open(QIODevice::WriteOnly) ||
               file.write(QByteArray::fromStdString(autostartEntry(program_))) < 0 ||
               !file.commit()) {
      error = file.errorString();
    }
  } else {
    QFile file(path);
    if (file.exists() && !file.remove()) error = file.errorString();
  }
  if (!error.isEmpty()) appendLog((tr("Launch at login: ") + error).toStdString(), false);
  launchAtLogin_ = autostartEnabled(autostartFile_);
  Q_EMIT launchAtLoginChanged();
  Q_EMIT stateChanged();
}

bool Agent::probeFullDiskAccess() const {
  const std::string library = xdg::homeDirectory() + "/Library/";
  std::string candidate;
  for (const char* name : {"Safari", "Mail"}) {
    if (isDirectory(library + name)) {
      candidate = library + name;
      break;
    }
  }
  if (candidate.empty()) return true;
  QDir dir(qstring(candidate));
  return dir.isReadable();
}

void Agent::refreshFullDiskAccess() {
  bool access = probeFullDiskAccess();
  if (access == fullDiskAccess_) return;
  fullDiskAccess_ = access;
  Q_EMIT fullDiskAccessChanged();
  Q_EMIT stateChanged();
}

std::optional<Agent::ReviewLogin> Agent::reviewLogin() const {
  if (!status_.listening || !listeningPort_) return std::nullopt;
  ReviewLogin review;
  // The listener takes every address unless told one; then only that one
  // reaches it.
  review.endpoint.host = bindAddress_.empty() || bindAddress_ == "0.0.0.0" ? "127.0.0.1"
                         : bindAddress_ == "::"                            ? "::1"
                                                                           : bindAddress_;
  review.endpoint.port = *listeningPort_;
  const std::string device = settings_->value(kReviewDeviceKey).toString().toStdString();
  const bool known =
      !device.empty() && std::any_of(status_.devices.begin(), status_.devices.end(),
                                     [&](const auto& paired) { return paired.deviceID == device; });
  if (known) {
    if (auto key = Keychain::read(device, storage_)) {
      review.login = PhoneClient::Login::device(device, std::move(*key));
      return review;
    }
  }
  auto payload = PairingPayload::parse(status_.qrPayload);
  auto offer = payload ? PhoneClient::Login::payload(*payload) : std::nullopt;
  if (!offer) return std::nullopt;
  review.login = std::move(*offer);
  review.pairing = true;
  return review;
}

bool Agent::keepReviewDevice(const PhoneClient::Login& login) {
  if (!Keychain::write(login.credential.key, login.deviceID, storage_)) return false;
  settings_->setValue(kReviewDeviceKey, qstring(login.deviceID));
  settings_->sync();
  return true;
}

void Agent::rescan() {
  if (server_) server_->rescan();
}

void Agent::restartListener() {
  if (server_) server_->restartListener();
}

void Agent::forgetDevice(const std::string& deviceID) {
  if (server_) server_->forgetDevice(deviceID);
}

bool Agent::showTrash() {
  const QString opener = QStandardPaths::findExecutable("xdg-open");
  if (opener.isEmpty()) return false;
  const std::string trash = Trash::homeTrashDir();
  const QString folder =
      QUrl::fromLocalFile(qstring(isDirectory(trash + "/files") ? trash + "/files" : trash))
          .toString();
  auto* process = new QProcess(this);
  // A desktop without a handler for trash:/// (xdg-open's generic mode)
  // fails; the Trash's own folder opens in any file manager.
  connect(process, &QProcess::finished, this,
          [process, opener, folder](int code, QProcess::ExitStatus status) {
            if (code != 0 || status != QProcess::NormalExit) {
              QProcess::startDetached(opener, {folder});
            }
            process->deleteLater();
          });
  connect(process, &QProcess::errorOccurred, this, [process](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) process->deleteLater();
  });
  process->start(opener, {"trash:///"});
  return true;
}

Agent::UpdateCheck Agent::checkForUpdates() {
  for (const SoftwareCentre& centre : kSoftwareCentres) {
    const QString program = QStandardPaths::findExecutable(centre.program);
    if (!program.isEmpty() && QProcess::startDetached(program, centre.arguments)) {
      return {true, {}};
    }
  }
  return {false, tr("Tallowick is updated by your system's package manager, with the rest of "
                    "your software. This is version %1.")
                     .arg(appVersion().value_or("?"))};
}

}  // namespace tallowick
