// Session: one control connection, the client session. It owns the control socket, turns the
// incoming bytes into command lines (answering Telnet negotiation), dispatches each line through
// the command table, formats and queues every reply, and owns its data connection. The engine
// creates sessions on accept, owns them, and reaches them only through the event entry points
// below; a session sees the engine only as its SessionHost. The command handlers of this layer
// read and write the public fields directly.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/session_host.h"
#include "log/log.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "session/defs.h"
#include "store/records.h"
#include "transfer/data_connection.h"
#include "vfs/fs_state.h"

namespace qorda::session {

// Why a session is closed; each has its farewell reply and log line. Disconnected is the
// administrator's "disconnect client".
enum class CloseReason {
  Quit,
  ServerShutdown,
  IdleTimeout,
  TooManyAttempts,
  OutputOverflow,
  Disconnected
};

// What a window shows of one connection, read at one moment.
struct ConnectionView {
  uint32_t id = 0;  // the control socket handle, shown as "[%04x]"
  std::string user;
  std::string host;
  uint32_t online_ms = 0;
  uint32_t idle_ms = 0;
  bool logged_in = false;
  bool examined = false;
  bool closing = false;              // said goodbye (or was told to); freed at the next tick
  std::array<uint8_t, 4> address{};  // the client's IPv4 address, a.b.c.d
  uint32_t files_stored = 0, kb_stored = 0, files_retrieved = 0, kb_retrieved = 0;
  // The file transfer in progress, when one moves (direction Send or Receive); the position is
  // where the file stands, the rate counts this connection's bytes.
  transfer::Direction direction = transfer::Direction::None;
  std::string file_name;
  uint64_t position = 0;
  uint64_t total_bytes = 0;
  double rate_kbps = 0;
};

class Session {
 public:
  // Creation steps that need nothing but the socket: addresses, names, state, ticks. The
  // session takes the socket; `host` must outlive it.
  Session(engine::SessionHost& host, platform::Socket s, platform::SockAddr peer);
  // Destruction: closes the socket, cancels a look-up, drops the data connection.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // ---- what the engine calls ----
  // The rest of creation, once the engine has taken the session into its table: asks for
  // socket events, starts the reverse look-up (when enabled), logs the connection and greets
  // unless a look-up is outstanding.
  void start();
  // A control-socket event. True when the session is finished and must be freed now.
  bool control_event(uint32_t event);
  // An event of the data socket this session routed.
  void data_event(uint32_t event, int error);
  // The reverse look-up answered: take the name (error 0), log it, greet.
  void lookup_answered(int error, const std::string& host);
  // Non-zero while the reverse look-up is outstanding.
  uint32_t lookup_handle() const { return lookup_handle_; }
  // The timer tick at engine time `now`: the idle timeout, the end of a hold, the data
  // connection's delivery check. True when the session is finished and must be freed now.
  bool tick(uint32_t now);
  // The server is switched off: the farewell unless the session already said goodbye.
  void shut_down();
  // The administrator's "disconnect": closes with CloseReason::Disconnected unless the session
  // is already closing; it is freed at the next tick.
  void disconnect();
  // Examining copies every command and reply line to the observer.
  void set_examined(bool on);
  // The current transfer rate in KiB/s (0 without a moving transfer).
  double transfer_rate() const;
  ConnectionView view(uint32_t now) const;
  bool closing() const { return state == SessionState::Closing; }

  // ---- the session's own work, used by the command handlers ----
  void greet();
  // The socket is readable, or a turn continues: take held input first, then receive one
  // chunk, dispatching at most kCommandsPerTurn lines; what is left is held and the session
  // asks the loop for another turn. Nothing is taken while a failed login holds the session.
  void receive();
  // Whether received bytes wait to be taken in a later turn.
  bool holds_input() const { return held_input_ != nullptr; }

  // A failed password: its reply stays queued and nothing more is taken until the engine tick
  // `until`; then the reply leaves and, with `then_close`, the session closes for too many
  // attempts.
  void hold_after_failed_login(uint32_t until, bool then_close);
  // A password that must wait for its address's turn (LoginThrottle): kept, and checked again
  // once the session is resumed at `until`.
  void defer_password(std::string password, uint32_t until);
  bool on_hold() const { return on_hold_; }
  // Sends queued output while the socket accepts it.
  void flush();

  // One reply line: code > 0 "ddd text", code < 0 "ddd-text", 0 the bare text.
  void reply(int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  // A line of administrator text (banner) sent with the given code.
  void send_text_line(int code, std::string_view line);

  // Sets Closing, sends the reason's reply, logs, and marks the session for the next tick.
  void close(CloseReason reason);

  // Logs a line with this session's id; client text must already be escaped.
  void log(log::Level level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  // Replaces this session's line in the connected-clients list.
  void refresh_client_line();
  // Drops every queued, unsent byte.
  void discard_output();

  size_t queued_output() const { return out_bytes_; }
  // Whether the session holds a line buffer (a partial line waits) or output chunks.
  bool holds_line_buffer() const { return line_ != nullptr; }
  bool holds_output() const { return out_head_ != nullptr; }
  engine::SessionHost& host() const { return host_; }

  // ---- TLS on the control connection ----
  // AUTH TLS was answered: the handshake begins once that reply has left in plain text.
  void start_tls(const platform::TlsContext& ctx);
  // REIN under TLS: once its reply has left protected, the TLS session is closed in both
  // directions and the connection carries plain text again.
  void end_tls();
  // The control connection is protected (the handshake is complete).
  bool tls_active() const { return tls_phase_ == TlsPhase::On; }
  // AUTH TLS was accepted (the handshake may still be under way, or the REIN close).
  bool tls_started() const { return tls_phase_ != TlsPhase::Off; }
  const platform::TlsStream& control_tls() const { return tls_; }
  // brequiretls and brequiretlsdata, which apply only while TLS is on (btls).
  bool tls_required() const;
  bool tls_data_required() const;

  // ---- the data connection (owned) ----
  transfer::DataConnection* data() const { return data_.get(); }
  // Takes a new data connection (dropping the one it had) and routes its socket's events here.
  void set_data(std::unique_ptr<transfer::DataConnection> d);
  // Drops the data connection, if any, without reply.
  void drop_data();
  // A data connection is connected and a transfer is under way.
  bool transfer_running() const { return data_ && data_->running(); }

  // ---- fields the command handlers read and write ----
  int sock = -1;  // control socket handle, also the session's id in the log
  platform::SockAddr peer_addr;
  platform::SockAddr local_addr;       // all zero when it could not be read
  std::array<uint8_t, 4> data_addr{};  // network order
  std::array<uint8_t, 2> data_port{};  // network order (high byte first)
  Session* next = nullptr;             // session-table chain (the engine's)

  std::string remote_host;  // dotted address, or the looked-up host name
  std::string user_name = "[unknown]";
  SessionState state = SessionState::WaitingForUser;
  bool user_exists = false;
  bool ip_allowed = false;
  bool guest = false;  // logged in on a guest account
  TransferType type = TransferType::Ascii;
  int64_t rest_offset = 0;  // REST; compared with a file length as an unsigned number
  int failed_passwords = 0;
  bool delete_mark = false;  // said goodbye: freed at the next tick
  bool examined = false;
  bool writable = false;
  uint32_t connect_tick = 0;
  uint32_t last_activity = 0;
  uint32_t files_stored = 0, kb_stored = 0, files_retrieved = 0, kb_retrieved = 0;

  // ---- login: copies of the records taken at USER ----
  store::UserRecord account;  // account.name is the user name looked up
  store::TemplateRecord tmpl;
  bool has_template = false;
  // ---- the file-system view built at login, with the current directory ----
  vfs::FsState fs;
  std::unique_ptr<vfs::LinkSource> link_source;  // what fs.links points to (owned)
  // ---- directory commands: a pending rename ----
  bool rename_pending = false;
  std::string rename_dir, rename_name;
  // ---- transfers ----
  bool unique_store = false;  // set by STOU, cleared by STOR
  // ---- FTP over TLS ----
  bool tls_pbsz = false;      // PBSZ was given under TLS
  bool protect_data = false;  // PROT P: data connections are TLS too

 private:
  void take_byte(uint8_t c);
  void put_line_byte(char c);
  // Dispatches a complete line, if one is there; true when it did.
  bool line_check();
  // Takes bytes until they are used up, `budget` lines were dispatched or the session stopped
  // taking input (hold, closing); returns how many bytes were taken.
  size_t take_input(const char* p, size_t n, int& budget);
  // A line was dispatched: true when it used up the turn's budget.
  bool spent_turn(int& budget);
  void hold_input(const char* p, size_t n);
  void drop_held_input();
  // Asks the loop for another turn of this session (a read event behind every queued message).
  void continue_later();
  bool taking_input() const {
    return !on_hold_ && state != SessionState::Closing &&
           (tls_phase_ == TlsPhase::Off || tls_phase_ == TlsPhase::On);
  }
  void dispatch();
  void queue_output(const char* p, size_t n);
  void examine(std::string_view line);

  // The client closed the control connection: log and mark it. True when it can be freed now
  // (no look-up answer is outstanding).
  bool peer_closed();
  void writable_event();
  void resume_if_due(uint32_t now);
  void cancel_lookup();
  void route_data();
  // Control-socket I/O, through TLS while it is on.
  platform::IoResult recv_bytes(void* buf, size_t len);
  platform::IoResult send_bytes(const void* buf, size_t len);
  // Drives the handshake, or REIN's closing exchange, one step on a socket event.
  void tls_step();
  // TLS failed on the control connection: logs why and ends only this session.
  void tls_failed(const char* what, const std::string& why);

  engine::SessionHost& host_;
  platform::Socket socket_;
  std::unique_ptr<transfer::DataConnection> data_;
  int routed_data_fd_ = -1;  // the data socket handle the engine routes here, or -1
  uint32_t lookup_handle_ = 0;

  // Line assembly. The buffer (kLineBuffer + 1 bytes, owned) exists only while a line is being
  // collected: it is made by the first byte of a line and let go when a receive leaves no
  // partial line behind, so an idle session holds none.
  std::unique_ptr<char[]> line_;
  size_t line_fill_ = 0;
  bool line_too_long_ = false;
  int last_byte_ = -1;  // the byte taken last, for the line check

  // Input received but not yet taken (kChunkSize bytes, owned), kept only while it holds bytes.
  std::unique_ptr<char[]> held_input_;
  size_t held_pos_ = 0;
  size_t held_len_ = 0;
  bool peer_gone_ = false;  // the client closed while input was held

  // A failed login holds the session: no input is taken and output waits until hold_until_.
  bool on_hold_ = false;
  bool close_after_hold_ = false;
  uint32_t hold_until_ = 0;
  // A password waiting for its address's turn.
  bool password_waits_ = false;
  std::string waiting_password_;

  // Starting: the 234 reply is leaving; Handshake; On; Closing: REIN's reply is leaving
  // protected and the closing exchange follows.
  enum class TlsPhase { Off, Starting, Handshake, On, Closing };
  TlsPhase tls_phase_ = TlsPhase::Off;
  platform::TlsStream tls_;  // owned; valid from AUTH until REIN's close or the end
  std::string tls_binding_;  // random; carried by this connection's session tickets

  int telnet_state_ = 0;
  std::array<uint8_t, 3> telnet_answer_{kIAC, 0, 0};

  // Output queue: a chain of chunks of kChunkSize bytes, oldest first. Each chunk is owned by
  // the one before it (the first by out_head_); a session with nothing to send holds none.
  struct OutChunk {
    std::array<char, kChunkSize> bytes;
    size_t sent = 0;
    size_t fill = 0;
    std::unique_ptr<OutChunk> next;
  };
  void pop_output();
  std::unique_ptr<OutChunk> out_head_;
  OutChunk* out_tail_ = nullptr;  // the last chunk of the chain, or null when it is empty
  size_t out_bytes_ = 0;          // unsent bytes in the chain
};

// The lines of a multi-line setting text: separated by LF; a final LF ends the last line.
std::vector<std::string_view> split_banner(std::string_view text);

}  // namespace qorda::session
