// One administration window per home. The running window answers on a local socket named after
// the home; a second start on the same home asks it to come forward and ends. The socket lives
// in the user's runtime directory under a hash of the home's canonical path, so any home (long,
// odd characters, reached through a symbolic link) gets one short, fixed name.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <string>

namespace qorda::admin {

// How long a second start waits for the running window's socket to take its request.
inline constexpr int kInstanceAnswerMs = 3000;
// The most a connection may send; the one request is a few bytes.
inline constexpr qint64 kMaxInstanceRequestBytes = 64;
// The request a second start sends.
inline constexpr char kRestoreRequest[] = "restore\n";

class SingleInstance final : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(const std::string& home, QObject* parent = nullptr);
  ~SingleInstance() override;
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // The socket's full path for a home.
  static QString socket_path(const std::string& home);
  const QString& socket_path() const { return path_; }

  // Asks the window running on this home to come forward: true when one took the request.
  bool ask_running_instance();
  // Starts answering later starts. Call it only while holding the home's lock: a socket file
  // left by a window that ended without removing it is then known to be stale and is replaced.
  // False, with the reason in `error`, when the socket cannot be made.
  bool listen(QString* error);
  bool listening() const { return server_.isListening(); }

 Q_SIGNALS:
  // A later start on this home asked for the window.
  void restoreRequested();

 private:
  void take_connections();

  QString path_;
  QLocalServer server_;
};

}  // namespace qorda::admin
