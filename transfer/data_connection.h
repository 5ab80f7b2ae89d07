// DataConnection: the data connection of one session, made by PORT (active: the server connects
// out), PASV (passive: the server listens) or by default before a transfer, and used for
// exactly one transfer. It moves bytes between its socket and a file or a prepared listing and
// tells its owner what each socket event did; it never replies to the client and knows nothing
// of sessions. The session owns it (std::unique_ptr); it owns its socket and its file.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/file.h"
#include "platform/result.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "transfer/defs.h"

namespace qorda::platform {
class EventLoop;
}

namespace qorda::transfer {

// One piece of listing text waiting to be sent.
struct ListChunk {
  std::array<char, kListChunk> bytes{};
  size_t read = 0;  // next unsent byte
  size_t fill = 0;  // bytes held
};

// Why a data connection could not be made: the number of construction steps completed and the
// error of the one that failed.
struct OpenFailure {
  int stage = 0;
  int err = 0;
};

// What one socket event did to the connection.
enum class Progress {
  Waiting,        // nothing the owner must act on; more events follow
  Connected,      // the connection is made (its socket handle may have changed)
  Sent,           // everything was sent: the transfer is complete
  Received,       // the client closed after sending; every byte received is in the file
  ReadFailed,     // sending: the file could not be read (or ended before its announced size)
  WriteFailed,    // receiving: the file could not be written
  ClientClosed,   // the client closed the connection while being sent to
  ConnectFailed,  // the active connection could not be made (`error`)
  AcceptFailed,   // the passive connection could not be taken (`error`)
  RefusedPeer,    // a passive connection from another address was refused (`peer`); still waiting
  Closed,         // the client closed a connection that carried no transfer
  Secured,        // PROT P: the TLS handshake is complete and resumed the control session
  TlsFailed,      // PROT P: the TLS handshake failed (tls_error() says why)
  TlsNotResumed,  // PROT P: the handshake did not resume the control connection's session
};

struct EventOutcome {
  EventOutcome(Progress p = Progress::Waiting, int e = 0, platform::SockAddr from = {})
      : progress(p), error(e), peer(from) {}
  Progress progress;
  int error;                // ConnectFailed, AcceptFailed
  platform::SockAddr peer;  // RefusedPeer
};

class DataConnection {
 public:
  // Makes the socket of an active connection, bound to `local` (the control connection's local
  // address and the port below the server's), that connects to `remote` when a transfer starts.
  static std::unique_ptr<DataConnection> open_active(platform::EventLoop& loop,
                                                     platform::SockAddr local,
                                                     platform::SockAddr remote,
                                                     OpenFailure& failure);
  // Makes a passive connection listening on a free port of `local_ip`. With `only_from`, a
  // connection from any other address is refused (and the listener keeps waiting).
  static std::unique_ptr<DataConnection> open_passive(platform::EventLoop& loop, uint32_t local_ip,
                                                      std::optional<uint32_t> only_from,
                                                      OpenFailure& failure);
  // An upload that ends without its close (ABOR, the session going away) keeps every byte that
  // arrived: the staged ones go to the file too.
  ~DataConnection();
  DataConnection(const DataConnection&) = delete;
  DataConnection& operator=(const DataConnection&) = delete;

  // PROT P: once connected, the connection is TLS and must resume the session of `control`,
  // which must outlive this connection (the session owns both). On a connection already made
  // (and carrying nothing yet) the handshake starts now. False when TLS cannot be set up.
  bool protect(const platform::TlsStream& control);
  // PROT C again before the connection was made: it stays clear. False once TLS has begun.
  bool unprotect();
  bool protected_by_tls() const { return tls_control_ != nullptr; }
  // Why the TLS handshake failed.
  const std::string& tls_error() const { return tls_.error_text(); }
  // The negotiated TLS version, once secured.
  std::string tls_version() const { return tls_.version(); }

  // Active kind: starts the connect when it has not been made yet. The error of a failed start.
  platform::Status connect_if_needed();

  // Begins a transfer. The name is the last part of `path` (the virtual path the log names);
  // moving starts at once when connected, else when the connection is made.
  void send_file(platform::File file, uint64_t offset, uint64_t total, const std::string& path,
                 uint32_t now);
  void receive_file(platform::File file, uint64_t offset, const std::string& path, uint32_t now);
  // A listing (mode kNameList or kLongList) whose text was queued with append_list_text.
  void send_listing(ListMode mode, const std::string& path, uint32_t now);
  void append_list_text(const char* p, size_t n);

  // A socket event (an FD_* bit and its error) at engine tick `now`.
  EventOutcome handle_event(uint32_t event, int error, uint32_t now);
  // Called at every tick: true when a sending transfer's client took bytes since the last tick
  // (its unacknowledged bytes moved), which counts as activity however long the write loop
  // waits for room.
  bool client_took_bytes();

  // Speed of the transfer so far in KiB/s (a time under 55 ms counts as 27 ms).
  double speed(uint32_t now) const;

  int socket_handle() const { return socket_.fd(); }
  Kind kind() const { return kind_; }
  Direction direction() const { return direction_; }
  ListMode list_mode() const { return list_mode_; }
  bool connected() const { return connected_; }
  // Whether the socket took the last send (false once it would block, until it is writable).
  bool can_send() const { return can_send_; }
  // Connected with a transfer under way.
  bool running() const { return connected_ && direction_ != Direction::None; }
  // The passive listener's address, or the active connection's target.
  const platform::SockAddr& local_addr() const { return local_addr_; }
  const platform::SockAddr& remote_addr() const { return remote_addr_; }
  // Where the transfer stands: the file position (or listing bytes sent), the file's size
  // (announced for a send, growing for a receive) and the bytes moved by this connection.
  uint64_t position() const { return position_; }
  uint64_t total_bytes() const { return total_bytes_; }
  uint64_t moved_bytes() const { return moved_bytes_; }
  const std::string& file_name() const { return file_name_; }
  const std::string& file_path() const { return file_path_; }

  // The retrieval's charge reached the store; a refund takes back exactly this. Kept here so
  // that it lives and dies with the transfer it belongs to.
  bool charged = false;

 private:
  DataConnection(platform::Socket s, Kind kind);
  // The socket of either kind (step 1 of the construction steps OpenFailure counts).
  static std::unique_ptr<DataConnection> create(platform::EventLoop& loop, Kind kind,
                                                OpenFailure& failure);
  void begin_moving(uint32_t now);
  void start_transfer(Direction dir, ListMode mode, const std::string& path, uint32_t now);
  EventOutcome on_connect(int err, uint32_t now);
  EventOutcome on_accept(int err, uint32_t now);
  EventOutcome on_write();
  EventOutcome on_read();
  EventOutcome on_close();
  // The loops: move bytes until the socket would block, the transfer ends or kEventBudget bytes
  // have moved (the loop then asks for another event and returns). `drain` (the peer closed)
  // reads everything that is left, whatever the budget.
  Progress write_loop();
  // The file part of the write loop: straight from the file to the socket while the system
  // takes that, else (for the rest of the transfer) read into the staging buffer and sent.
  Progress send_file_bytes(uint64_t stop_at);
  Progress send_staged_file_bytes(uint64_t stop_at);
  // Writes the staged received bytes to the file; false when the file did not take them all.
  bool flush_received();
  Progress read_loop(bool drain);
  // Connected and, under PROT P, secured: bytes may move.
  bool ready() const { return connected_ && (tls_control_ == nullptr || secured_); }
  // PROT P: the TLS stream on the connected socket, and each step of its handshake.
  EventOutcome start_tls();
  EventOutcome tls_handshake_step(uint32_t now);
  // Socket I/O, through TLS under PROT P.
  platform::IoResult send_bytes(const void* buf, size_t len);
  platform::IoResult recv_bytes(void* buf, size_t len);

  platform::Socket socket_;  // owned: the listening, connecting or connected data socket
  const platform::TlsStream* tls_control_ = nullptr;  // the control connection's (not owned)
  platform::TlsStream tls_;                           // owned: PROT P, once connected
  bool secured_ = false;
  Kind kind_;
  Direction direction_ = Direction::None;
  ListMode list_mode_ = ListMode::File;
  std::optional<uint32_t> only_from_;
  bool can_send_ = false;
  bool can_recv_ = false;
  bool connected_ = false;
  bool finished_ = false;  // the transfer ended (or failed); nothing more moves
  platform::SockAddr local_addr_;
  platform::SockAddr remote_addr_;
  uint32_t start_tick_ = 0;
  std::deque<ListChunk> list_chunks_;
  // Staging buffer: kRecvBuf bytes for a receive, made when it begins; kFileBuf bytes for a send,
  // made only when the file cannot be sent straight (zero_copy_ false).
  std::unique_ptr<char[]> file_buf_;
  bool zero_copy_ = true;
  size_t buf_pos_ = 0;
  size_t buf_len_ = 0;
  platform::File file_;  // owned
  uint64_t total_bytes_ = 0;
  uint64_t position_ = 0;
  uint64_t moved_bytes_ = 0;
  std::string file_name_;
  std::string file_path_;
  // The socket's unacknowledged bytes at the last tick; kNotSeen before the first one looked.
  static constexpr size_t kNotSeen = SIZE_MAX;
  size_t seen_unacked_ = kNotSeen;
};

// Kilobytes of a byte count as the 32-bit statistics hold them (truncated, held at the limit).
uint32_t kb_of(uint64_t bytes);
// Where a transfer starts: the restart offset compared as an unsigned number with the file's
// length, the smaller of the two.
uint64_t restart_at(int64_t rest_offset, uint64_t length);
// Rate of a transfer in KiB/s; a measured time below 55 ms counts as 27 ms.
double transfer_rate_kbps(uint64_t moved_bytes, uint32_t elapsed_ms);
// Would the template's ratios refuse a retrieval? `u` and `d` are the upload and download
// counts the rule compares, `up` and `down` the rule's ratio.
bool ratio_refuses(uint32_t u, uint32_t d, uint32_t up, uint32_t down);

}  // namespace qorda::transfer
