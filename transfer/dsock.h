// dsock_c: the data connection of one session, made by PORT (active: the server connects out),
// PASV (passive: the server listens) or the default rule of chkdata, and used for exactly one
// transfer. The session owns it (csock_c::data); the engine's data table links it under its
// socket handle so that socket events find it. Destroying it (destroy) unlinks it, closes its
// socket and file, and clears the owner's `data`; it never replies.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "engine/conn_table.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "transfer/defs.h"

namespace qorda::session {
class csock_c;
}

namespace qorda::transfer {

// One piece of listing text waiting to be sent.
struct ListChunk {
  std::array<char, kListChunk> bytes{};
  size_t read = 0;  // next unsent byte
  size_t fill = 0;  // bytes held
};

class dsock_c;

// A listing's preparation, run by start for list modes 1 and 2: queues the listing text
// (append_list_text), replies, and sets `done` after replying to a failure.
using ListPreparer = void (*)(dsock_c& d, const std::string& path, const std::string& pattern);

class dsock_c {
 public:
  // Builds the socket of the given kind (kActive, kPassive) for `owner`. On failure it has
  // replied and logged, and `done` is set: the caller destroys it.
  dsock_c(int kind, session::csock_c& owner);
  ~dsock_c();
  dsock_c(const dsock_c&) = delete;
  dsock_c& operator=(const dsock_c&) = delete;

  // Begins a transfer (kSend or kReceive) of `path` (a virtual path; for a unique store the
  // directory). After it the caller checks `done` and destroys the connection when it is set.
  void start(int dir, int mode, const std::string& path, const std::string& pattern,
             ListPreparer prepare = nullptr);

  // Queues listing text (split into kListChunk pieces).
  void append_list_text(const char* p, size_t n);

  // Speed of the transfer so far in KiB/s (a time under 55 ms counts as 27 ms).
  double speed() const;

  // ---- fields other parts read ----
  int sock = -1;  // the data socket's handle (the table key); -1 when closed
  platform::SockAddr local_addr;
  uint32_t start_tick = 0;
  dsock_c* next = nullptr;  // data-table chain
  session::csock_c* owner = nullptr;
  platform::SockAddr remote_addr;  // active kind: where to connect
  int kind = kActive;
  int direction = kNoTransfer;
  int list_mode = kFileTransfer;
  bool error = false;
  bool can_send = false;
  bool can_recv = false;
  bool connected = false;
  bool done = false;
  std::deque<ListChunk> list_chunks;
  std::unique_ptr<char[]> file_buf;  // kFileBuf bytes
  size_t buf_pos = 0;
  size_t buf_len = 0;
  platform::File file;
  uint64_t total_bytes = 0;
  uint64_t position = 0;
  uint64_t moved_bytes = 0;
  std::string file_name;
  std::string file_path;
  std::array<char, kListLineBuf> line_buf{};
  // The retrieval's charge reached the store; a refund takes back exactly this.
  bool charged = false;

  // ---- used by the event routing and the transfer commands ----
  platform::Socket& socket() { return socket_; }
  // Requests the events of the transfer's direction and takes the start tick.
  void begin_moving();
  // The read and write loops: move bytes until the socket would block, the transfer ends or
  // kEventBudget bytes have moved (the loop then asks for another event and returns).
  // `drain` (the peer closed) reads everything that is left, whatever the budget.
  void write_loop();
  void read_loop(bool drain = false);
  // Called by every timer tick: a sending transfer whose bytes the client took since the last
  // tick renews the session's activity, however long its write loop waits for room.
  void note_delivery();

  // Event entry points (see data_event); each may destroy the object.
  void on_connect(int err);
  void on_accept(int err);
  void on_write();
  void on_read();
  void on_close();

 private:
  bool build();  // the construction steps; false on failure (stage_ tells where)
  void prepare_send(const std::string& path);
  void prepare_receive(const std::string& path);
  void log_retrieved();

  platform::Socket socket_;  // owned: the listening, connecting or connected data socket
  int stage_ = 0;            // construction steps completed
  int last_err_ = 0;         // the error of the step that failed
  // The socket's unacknowledged bytes at the last tick; kNotSeen before the first one looked.
  static constexpr size_t kNotSeen = SIZE_MAX;
  size_t seen_unacked_ = kNotSeen;
};

// Destroys a data connection (see dsock_c).
void destroy(dsock_c* d);

// The tick's step for the data table: note_delivery for every data connection.
void note_deliveries(const engine::ConnTable<dsock_c>& table);

// A data-socket event from the engine: routes it and, when the transfer ends, does the
// end-of-transfer handling (statistics, the final reply, destruction, flush).
void data_event(dsock_c* d, uint32_t event, int error);

// ABOR while the session's transfer is running: refund, destroy, 426 then 226.
void abort_running(session::csock_c& s);

}  // namespace qorda::transfer
