// Test-only helpers for commands that need a logged-in session and a data connection: a seam
// that puts a session into the logged-in state without USER and PASS, and the client end of a
// data connection (passive or active) that pumps the in-process server while it waits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "session/session.h"
#include "store/records.h"
#include "tests/support/accounts.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {

// The server's session of a client connected to `srv` (by the client's port); null if none.
session::Session* session_of(TestServer& srv, const FtpClient& c);
// The first session in the server's table; null if none. For tests with a single client.
session::Session* first_session(TestServer& srv);

// Pumps until the server has read every byte the client sent: none waits unacknowledged at the
// client's end or unread at the server's (or the session is gone). The server reads a piece per
// turn and the socket buffers may hold megabytes, so it gives up only after 4000 turns in a row
// in which nothing was read.
void pump_until_taken(TestServer& srv, const FtpClient& c);

// Logs the session in as `user` with the permission lines `szfp` (and a template when given):
// state, account copy, template copy and the file-system view with its home, as a successful
// PASS leaves them. The account is written to the store with zero statistics unless `stats`
// is given.
void log_in(TestServer& srv, session::Session& s, const std::string& user, const std::string& szfp,
            const store::TemplateRecord* tmpl = nullptr, const store::UserRecord* stats = nullptr);

// Writes the account with `password` (and its template, when given) to the server's store and
// logs the client in with USER and PASS (the greeting must have been read). False, with a test
// failure naming the reply, when the login is refused.
bool log_in(TestServer& srv, FtpClient& c, const store::UserRecord& user,
            const std::optional<store::TemplateRecord>& tmpl = std::nullopt,
            const std::string& password = "secret");

// Greets, then logs the client's session in with full rights on drive c: (home /c:/).
void connect_logged_in(TestServer& srv, FtpClient& c, const std::string& user = "alice");

// The user's stored statistics.
store::UserRecord stored_user(TestServer& srv, const std::string& user);

// The client end of a data connection.
class DataPeer {
 public:
  explicit DataPeer(TestServer& srv) : srv_(srv) {}

  // Passive: connects to the address a 227 reply names; `from` binds the client end first
  // (0 for any loopback address); a non-zero `recv_buffer` sets the client end's receive buffer
  // (SO_RCVBUF) before it connects, so the window it offers stays that small.
  bool connect_pasv(std::string_view reply227, uint32_t from = 0, int recv_buffer = 0);
  // Active: listens on a free loopback port and returns the PORT argument naming it.
  std::string listen();
  // The listener's port (0 when not listening).
  uint16_t port() const {
    auto a = listener_.local_addr();
    return a.ok() ? a->port : 0;
  }
  // Listens on exactly this port of 127.0.0.1 (address reuse on), for the default data port.
  bool listen_on(uint16_t port);
  // Waits (pumping) until the server connected to the listener.
  bool accept();

  // Reads until the server closes the connection (or the pump budget runs out).
  std::string read_all();
  // Reads at least n bytes (or until close).
  std::string read_some(size_t n);
  bool send_all(std::string_view bytes);
  void close() {
    conn_.close();
    listener_.close();
  }
  bool closed_by_server() const { return eof_; }
  platform::Socket& conn() { return conn_; }
  // The server end's address of an accepted connection.
  const platform::SockAddr& peer() const { return peer_; }

 private:
  TestServer& srv_;
  platform::Socket listener_;
  platform::Socket conn_;
  bool eof_ = false;
  platform::SockAddr peer_;
};

// The bytes of a file under drive c: (path relative to the drive).
std::string read_file(TestServer& srv, const std::string& rel);
// Bytes 0..n-1 of a fixed pseudo-random pattern.
std::string pattern_bytes(size_t n, uint32_t seed = 1);
// Open descriptors of this process.
int open_fds();

}  // namespace qorda::test
