#pragma once
// How `tallowick-agent --review` asks the agent already running for this
// storage folder to show its review window: a local socket in the user's
// runtime folder, named after the storage folder, on which the tray agent
// listens. The request is one line, "review".
//
// Threading: main thread; Qt's event loop delivers the requests.

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <chrono>
#include <string>

namespace tallowick {

class ReviewRequests : public QObject {
  Q_OBJECT

 public:
  // The socket of the agent on `storage`: in $XDG_RUNTIME_DIR (else the
  // temporary folder, with the user's id), "tallowick-agent-" and a digest
  // of the storage path.
  static QString socketPath(const std::string& storage);

  // Asks the agent on `storage` to show its window; true once the request
  // was handed over within `timeout`. False when no agent listens there.
  static bool send(const std::string& storage,
                   std::chrono::milliseconds timeout = std::chrono::seconds(3));

  explicit ReviewRequests(QObject* parent = nullptr);

  // Listens for requests, replacing a socket left behind by an agent that
  // ended without removing it. REQUIRES: the caller holds the storage
  // folder's lock, so no other agent listens there. False on failure (the
  // window still opens from the tray).
  bool listen(const std::string& storage);

 Q_SIGNALS:
  void reviewRequested();

 private:
  QLocalServer server_;
};

}  // namespace tallowick
