#include "admin/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <filesystem>
#include <memory>

namespace qorda::admin {

namespace {

// The home as every spelling of it resolves: "/srv/ftp/", "/srv/./ftp" and a link to it are
// one home. A home that does not exist (yet) keeps its lexical form.
std::string canonical_home(const std::string& home) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(home, ec);
  if (ec) p = std::filesystem::path(home).lexically_normal();
  std::string s = p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& home, QObject* parent)
    : QObject(parent), path_(socket_path(home)) {
  // SECURITY: only this user may connect, even when the socket falls back to a shared
  // temporary directory: nobody else can make the window come forward or fill its queue.
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::take_connections);
}

SingleInstance::~SingleInstance() {
  server_.close();
}

QString SingleInstance::socket_path(const std::string& home) {
  const QByteArray hash = QCryptographicHash::hash(QByteArray::fromStdString(canonical_home(home)),
                                                   QCryptographicHash::Sha256)
                              .toHex()
                              .left(32);
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) dir = QDir::tempPath();
  return dir + "/qorda-gui-" + QString::fromLatin1(hash);
}

bool SingleInstance::ask_running_instance() {
  QLocalSocket socket;
  socket.connectToServer(path_);
  // A socket file nobody listens on is refused at once; only a live window is waited for.
  if (!socket.waitForConnected(kInstanceAnswerMs)) return false;
  const qint64 size = static_cast<qint64>(sizeof kRestoreRequest - 1);
  if (socket.write(kRestoreRequest, size) != size) return false;
  while (socket.bytesToWrite() > 0) {
    if (!socket.waitForBytesWritten(kInstanceAnswerMs)) return false;
  }
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::listen(QString* error) {
  if (server_.isListening()) return true;
  if (server_.listen(path_)) return true;
  if (server_.serverError() == QAbstractSocket::AddressInUseError) {
    // The home's lock is ours, so no window answers on this socket any more.
    QLocalServer::removeServer(path_);
    if (server_.listen(path_)) return true;
  }
  if (error) *error = path_ + ": " + server_.errorString();
  return false;
}

void SingleInstance::take_connections() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto received = std::make_shared<QByteArray>();
    auto read = [this, socket, received] {
      // SECURITY: a client that never ends its line cannot make the window hold more than a
      // few bytes for it.
      received->append(socket->read(kMaxInstanceRequestBytes - received->size()));
      if (received->contains('\n') || received->size() >= kMaxInstanceRequestBytes) {
        const bool restore = *received == kRestoreRequest;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        if (restore) Q_EMIT restoreRequested();
      }
    };
    connect(socket, &QLocalSocket::readyRead, this, read);
    // What arrived with the connection itself.
    if (socket->bytesAvailable() > 0) read();
  }
}

}  // namespace qorda::admin
