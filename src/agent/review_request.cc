#include "agent/review_request.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

namespace tallowick {
namespace {

constexpr char kRequest[] = "review\n";

}  // namespace

QString ReviewRequests::socketPath(const std::string& storage) {
  const QByteArray digest =
      QCryptographicHash::hash(QByteArray::fromStdString(storage), QCryptographicHash::Sha256)
          .toHex()
          .left(16);
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists()) {
    return runtime + QStringLiteral("/tallowick-agent-") + QString::fromLatin1(digest);
  }
  // Without a runtime folder (a login that has none): the shared temporary
  // folder, the user's id in the name; the socket admits this user only.
  return QDir::tempPath() + QStringLiteral("/tallowick-agent-%1-").arg(::getuid()) +
         QString::fromLatin1(digest);
}

bool ReviewRequests::send(const std::string& storage, std::chrono::milliseconds timeout) {
  QLocalSocket socket;
  socket.connectToServer(socketPath(storage));
  if (!socket.waitForConnected(static_cast<int>(timeout.count()))) return false;
  socket.write(kRequest);
  const bool written = socket.waitForBytesWritten(static_cast<int>(timeout.count()));
  socket.disconnectFromServer();
  return written;
}

ReviewRequests::ReviewRequests(QObject* parent) : QObject(parent) {
  // Only this user may ask.
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        while (socket->canReadLine()) {
          if (socket->readLine() == kRequest) Q_EMIT reviewRequested();
        }
        // A peer that sends more than a request is not one of ours.
        if (socket->bytesAvailable() > 64) socket->abort();
      });
    }
  });
}

bool ReviewRequests::listen(const std::string& storage) {
  const QString path = socketPath(storage);
  QLocalServer::removeServer(path);
  return server_.listen(path);
}

}  // namespace tallowick
