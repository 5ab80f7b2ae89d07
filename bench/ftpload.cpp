// ftpload: the load generator of the benchmark pack. One process, one thread, one epoll loop
// driving many FTP client state machines (passive mode, binary type). It is a separate tool, not
// part of the server, so it talks to the kernel directly.
//
// Modes (all print one JSON object on standard output):
//   retr    CLIENTS clients log in, then each repeats PASV + RETR PATH (--repeat times, or for
//           --duration seconds); all start together once every client is logged in.
//   stor    as retr with STOR PATH of --size bytes from memory.
//   list    as retr with LIST PATH.
//   logins  CLIENTS clients each repeat connect, USER, PASS, QUIT for --duration seconds.
//   idle    RETR PATH alone, then --sessions logged-in idle sessions (server memory sampled
//           before and after), then RETR PATH again while they sit there.
//   raw     the loopback ceiling: --streams forked senders each send --size bytes in --send-size
//           chunks over TCP to this process, which receives them as the FTP clients do; with
//           --stage-file the bytes come from reads of --read-size blocks of that file.
//   fake-server  a minimal FTP responder on --port (USER, PASS, TYPE, PASV, RETR, LIST, QUIT)
//           that sends --size bytes per RETR: the same client loops run against it show what
//           the generator and the kernel allow without a real server.
//   wrap CMD [ARGS...]  runs a server as this process's child and reaps every process of its
//           tree (a child subreaper), so that the CPU time of finished session processes stays
//           in the tree measured from this process's pid; SIGTERM is passed on, and what is
//           left of the tree when the server has exited is killed.
// With --tls the FTP clients (retr, stor, list, logins) use explicit FTP over TLS: AUTH TLS,
// then PBSZ 0 and PROT P after login; each data connection resumes the control connection's TLS
// session, as servers that insist on it require. Certificates are not verified.
// With --server-pid PID the CPU time (utime + stime + reaped children) and the memory of that
// process and all its descendants are read from /proc before and after the measured window.
#include <arpa/inet.h>
#include <linux/perf_event.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kRecvChunk = 1 << 20;  // one read of a data connection
constexpr size_t kSendChunk = 1 << 20;  // one write of STOR data
constexpr int kMaxEvents = 256;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "ftpload: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

struct Options {
  std::string mode;
  std::string host = "127.0.0.1";
  int port = 21;
  std::string user = "bench";
  std::string pass = "bench";
  std::string path;
  std::string label;
  int clients = 1;
  double duration = 0;  // seconds; 0: --repeat counts
  long repeat = 1;
  uint64_t size = 0;
  uint64_t expect = 0;  // expected bytes per RETR; 0: unchecked
  int sessions = 0;
  int ramp = 50;  // connections logging in at once
  int send_size = 1460;
  std::string stage_file;  // raw: read the bytes from this file first (empty: a constant buffer)
  int read_size = 14600;   // raw: block size of those reads
  int streams = 1;
  int server_pid = 0;
  std::string cpu_file;  // written by 'ftpload wrap --cpu-file' on SIGUSR1
  double stall = 60;  // seconds without progress before a client gives up
  bool tls = false;   // explicit FTP over TLS, control and data
};

// The client side of every TLS connection (no certificate checks: the benchmark's servers use
// self-signed ones).
SSL_CTX* tls_client_ctx() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return c;
  }();
  return ctx;
}

// ---------------------------------------------------------------------------------------------
// /proc sampling of a server and its descendants.

// This process's own CPU seconds (the generator's cost, beside the server's).
double self_cpu() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct ProcSample {
  double self_cpu_s = self_cpu();
  double cpu_s = 0;
  double rss_kib = 0;
  double pss_kib = 0;
  int procs = 0;
};

// The file of 'ftpload wrap --cpu-file', when the server runs under it (see --cpu-file).
std::string g_cpu_file;

bool read_cpu_file(uint64_t* seq, double* secs) {
  FILE* f = std::fopen(g_cpu_file.c_str(), "r");
  if (!f) return false;
  unsigned long long q = 0;
  bool ok = std::fscanf(f, "%llu %lf", &q, secs) == 2;
  std::fclose(f);
  *seq = q;
  return ok;
}

// Asks the wrapper (pid) for its tree's CPU seconds; -1 when it cannot tell.
double wrapper_cpu(int pid) {
  uint64_t seq0 = 0, seq = 0;
  double secs = -1;
  if (!read_cpu_file(&seq0, &secs) || kill(pid, SIGUSR1) < 0) return -1;
  const double until = now_s() + 2;
  while (now_s() < until) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (read_cpu_file(&seq, &secs) && seq != seq0) return secs;
  }
  return -1;
}

// Calls f(pid, fields) for every process in /proc, `fields` pointing past the command's ")"
// and its space in /proc/PID/stat (state, ppid, ...).
template <class F>
void for_each_proc_stat(F f) {
  DIR* d = opendir("/proc");
  if (!d) return;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* file = std::fopen(path, "r");
    if (!file) continue;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, file);
    std::fclose(file);
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    if (p && p[1] == ' ') f(static_cast<int>(pid), p + 2);
  }
  closedir(d);
}

ProcSample sample_tree(int root, bool memory) {
  ProcSample s;
  if (root <= 0) return s;
  const double counted = g_cpu_file.empty() ? -1 : wrapper_cpu(root);
  struct Entry {
    int ppid;
    double cpu;
  };
  std::map<int, Entry> all;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  for_each_proc_stat([&](int pid, const char* p) {
    // Fields after the command: state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime stime cutime cstime.
    char state;
    int ppid;
    unsigned long long v[15];
    if (std::sscanf(p, "%c %d %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu",
                    &state, &ppid, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8],
                    &v[9], &v[10], &v[11], &v[12]) != 15) {
      return;
    }
    all[pid] = {ppid, static_cast<double>(v[9] + v[10] + v[11] + v[12]) / tick};
  });
  std::vector<int> todo{root};
  std::vector<int> tree;
  while (!todo.empty()) {
    int pid = todo.back();
    todo.pop_back();
    if (!all.count(pid)) continue;
    tree.push_back(pid);
    for (const auto& [child, entry] : all) {
      if (entry.ppid == pid) todo.push_back(child);
    }
  }
  for (int pid : tree) {
    s.cpu_s += all[pid].cpu;
    ++s.procs;
    if (!memory) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/smaps_rollup", pid);
    if (FILE* f = std::fopen(path, "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, f)) {
        unsigned long kb;
        if (std::sscanf(line, "Rss: %lu kB", &kb) == 1) s.rss_kib += static_cast<double>(kb);
        if (std::sscanf(line, "Pss: %lu kB", &kb) == 1) s.pss_kib += static_cast<double>(kb);
      }
      std::fclose(f);
    }
  }
  if (counted >= 0) s.cpu_s = counted;
  return s;
}

// ---------------------------------------------------------------------------------------------
// Sockets.

sockaddr_in make_addr(const std::string& host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
    std::fprintf(stderr, "ftpload: '%s' is not an IPv4 address\n", host.c_str());
    std::exit(2);
  }
  return a;
}

// A non-blocking connect already under way (or done); -1 on immediate failure.
int start_connect(const sockaddr_in& a) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// A listening loopback socket, or -1 (errno set) when none can be had.
int try_listen_loopback(int port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (port != 0) {
    // Only for a fixed port: with SO_REUSEADDR a port-0 bind makes the kernel check every
    // TIME_WAIT socket of loopback for a conflict, which costs more than the rest of a transfer.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  sockaddr_in a = make_addr("127.0.0.1", port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || listen(fd, backlog) < 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int listen_loopback(int port, int backlog) {
  int fd = try_listen_loopback(port, backlog);
  if (fd < 0) die("listen");
  return fd;
}

int local_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

void raise_fd_limit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

// ---------------------------------------------------------------------------------------------
// The client state machines.

enum class Role { Retr, Stor, List, Logins, Idle };
enum class St {
  Off,
  Connecting,
  Greeting,
  Auth,
  Handshake,
  User,
  Pass,
  Pbsz,
  Prot,
  Type,
  Ready,
  Pasv,
  Transfer,
  Quit,
  Done
};

struct Client {
  Role role = Role::Retr;
  St st = St::Off;
  int ctrl = -1;
  int data = -1;
  SSL* cs = nullptr;  // --tls: the control connection's TLS
  SSL* ds = nullptr;  // --tls: the data connection's TLS
  bool data_secured = false;
  bool data_closing = false;  // STOR: everything sent, close_notify sent
  std::string in;
  int multi = 0;  // code of the open multi-line reply
  bool prelim = false, final_ok = false, data_eof = false;
  uint64_t bytes = 0;    // data bytes of the current transfer
  uint64_t to_send = 0;  // STOR bytes still to send
  double op_start = 0;
  double last = 0;  // last progress
  long done = 0;
};

struct Stats {
  long ops = 0;
  long errors = 0;
  uint64_t bytes = 0;
  uint64_t lines = 0;  // LIST: lines received
  std::vector<double> lat_ms;
  std::string first_error;
};

class Driver {
 public:
  explicit Driver(const Options& o) : o_(o), addr_(make_addr(o.host, o.port)) {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) die("epoll_create1");
    buf_.resize(std::max(kRecvChunk, kSendChunk));
    for (size_t i = 0; i < buf_.size(); ++i) buf_[i] = static_cast<char>('a' + i % 26);
  }

  // Adds n clients of one role; returns the index of the first.
  size_t add(Role role, int n) {
    size_t first = cl_.size();
    for (int i = 0; i < n; ++i) {
      cl_.emplace_back();
      cl_.back().role = role;
    }
    return first;
  }

  // Logs in clients [first, first+n) with at most o_.ramp connecting at once; returns the number
  // that reached Ready.
  int login(size_t first, size_t n) {
    size_t next = first;
    for (;;) {
      int busy = 0, ready = 0, off = 0;
      for (size_t i = first; i < first + n; ++i) {
        St s = cl_[i].st;
        if (s == St::Ready) ++ready;
        else if (s == St::Off) ++off;
        else if (s != St::Done) ++busy;
      }
      while (busy < o_.ramp && next < first + n) {
        open_ctrl(next++);
        ++busy;
      }
      if (busy == 0 && next >= first + n) return ready;
      poll(0.1);
    }
  }

  // Runs transfers on the Ready clients [first, first+n) until each has done `repeat` (or until
  // `deadline`); then QUITs them unless keep is set. Fills stats_.
  void transfer(size_t first, size_t n, long repeat, double deadline, bool keep) {
    repeat_ = repeat;
    deadline_ = deadline;
    for (size_t i = first; i < first + n; ++i) {
      if (cl_[i].st == St::Ready) next_op(i);
    }
    for (;;) {
      bool busy = false;
      for (size_t i = first; i < first + n; ++i) {
        St s = cl_[i].st;
        if (s == St::Pasv || s == St::Transfer) busy = true;
        if (!keep && (s == St::Ready || s == St::Quit)) busy = true;
        if (!keep && s == St::Ready) quit(i);
      }
      if (!busy) break;
      poll(0.1);
    }
  }

  // The login loop: every client repeats connect, USER, PASS, QUIT until the deadline.
  void login_loop(size_t first, size_t n, double deadline) {
    deadline_ = deadline;
    for (size_t i = first; i < first + n; ++i) open_ctrl(i);
    for (;;) {
      bool busy = false;
      for (size_t i = first; i < first + n; ++i) {
        if (cl_[i].st != St::Off && cl_[i].st != St::Done) busy = true;
      }
      if (!busy) break;
      poll(0.1);
    }
  }

  void close_all() {
    for (size_t i = 0; i < cl_.size(); ++i) drop(i);
  }

  Stats take_stats() {
    Stats s = std::move(stats_);
    stats_ = Stats{};
    return s;
  }

 private:
  void watch(int fd, uint64_t tag, uint32_t events, bool mod) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    if (epoll_ctl(ep_, mod ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) < 0) die("epoll_ctl");
  }

  void open_ctrl(size_t i) {
    Client& c = cl_[i];
    const Role role = c.role;
    const long done = c.done;
    c = Client{};
    c.role = role;
    c.done = done;
    c.op_start = c.last = now_s();
    c.ctrl = start_connect(addr_);
    if (c.ctrl < 0) return fail(i, "connect");
    c.st = St::Connecting;
    watch(c.ctrl, i << 1, EPOLLOUT, false);
  }

  void send_cmd(size_t i, const std::string& line) {
    Client& c = cl_[i];
    std::string s = line + "\r\n";
    // Commands are short and the socket buffer is empty between replies: one send suffices.
    ssize_t n = c.cs != nullptr ? SSL_write(c.cs, s.data(), static_cast<int>(s.size()))
                                : send(c.ctrl, s.data(), s.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(s.size())) fail(i, "send command");
  }

  void close_data(Client& c) {
    if (c.ds != nullptr) SSL_free(c.ds);
    c.ds = nullptr;
    if (c.data >= 0) close(c.data);
    c.data = -1;
  }

  void drop(size_t i) {
    Client& c = cl_[i];
    close_data(c);
    if (c.cs != nullptr) SSL_free(c.cs);
    c.cs = nullptr;
    if (c.data >= 0) close(c.data);
    if (c.ctrl >= 0) close(c.ctrl);
    c.data = c.ctrl = -1;
  }

  void fail(size_t i, const std::string& why) {
    Client& c = cl_[i];
    ++stats_.errors;
    if (stats_.first_error.empty()) stats_.first_error = why;
    drop(i);
    c.st = St::Done;
    // The login loop goes on with a new connection: one refused attempt is not the end.
    if (c.role == Role::Logins && now_s() < deadline_) open_ctrl(i);
  }

  bool more(const Client& c) const {
    return deadline_ > 0 ? now_s() < deadline_ : c.done < repeat_;
  }

  void next_op(size_t i) {
    Client& c = cl_[i];
    c.prelim = c.final_ok = c.data_eof = false;
    c.bytes = 0;
    c.op_start = c.last = now_s();
    c.st = St::Pasv;
    send_cmd(i, "PASV");
  }

  void quit(size_t i) {
    cl_[i].st = St::Quit;
    send_cmd(i, "QUIT");
  }

  // Counts a finished operation (a transfer, or a whole login cycle) that ended in the window.
  void record(Client& c) {
    double t = now_s();
    if (deadline_ <= 0 || t <= deadline_) {
      ++stats_.ops;
      stats_.bytes += c.bytes;
      stats_.lat_ms.push_back((t - c.op_start) * 1000);
    }
    ++c.done;
  }

  void finish_op(size_t i) {
    Client& c = cl_[i];
    record(c);
    close_data(c);
    if (o_.expect && c.role == Role::Retr && c.bytes != o_.expect) {
      return fail(i, "RETR gave " + std::to_string(c.bytes) + " bytes, expected " +
                         std::to_string(o_.expect));
    }
    if (more(c)) {
      next_op(i);
    } else {
      c.st = St::Ready;
    }
  }

  void maybe_done(size_t i) {
    Client& c = cl_[i];
    if (c.st != St::Transfer || !c.final_ok) return;
    if (c.role == Role::Stor || c.data_eof) finish_op(i);
  }

  void on_reply(size_t i, int code, const std::string& line) {
    Client& c = cl_[i];
    c.last = now_s();
    switch (c.st) {
      case St::Greeting:
        if (code == 120) return;
        if (code != 220) return fail(i, "greeting: " + line);
        if (o_.tls) {
          c.st = St::Auth;
          return send_cmd(i, "AUTH TLS");
        }
        c.st = St::User;
        return send_cmd(i, "USER " + o_.user);
      case St::Auth:
        if (code != 234) return fail(i, "AUTH TLS: " + line);
        c.cs = SSL_new(tls_client_ctx());
        SSL_set_fd(c.cs, c.ctrl);
        SSL_set_connect_state(c.cs);
        c.st = St::Handshake;
        return ctrl_handshake(i);
      case St::Pbsz:
        if (code != 200) return fail(i, "PBSZ: " + line);
        c.st = St::Prot;
        return send_cmd(i, "PROT P");
      case St::Prot:
        if (code != 200) return fail(i, "PROT: " + line);
        c.st = St::Type;
        return send_cmd(i, "TYPE I");
      case St::User:
        if (code == 230) break;
        if (code != 331) return fail(i, "USER: " + line);
        c.st = St::Pass;
        return send_cmd(i, "PASS " + o_.pass);
      case St::Pass:
        if (code != 230) return fail(i, "PASS: " + line);
        break;
      case St::Type:
        if (code != 200) return fail(i, "TYPE: " + line);
        c.st = St::Ready;
        return;
      case St::Pasv: {
        if (code != 227) return fail(i, "PASV: " + line);
        // The data connection goes to the control connection's address (as most clients do);
        // only the port is taken from the reply.
        unsigned h[6];
        size_t p = line.find('(');
        if (p == std::string::npos ||
            std::sscanf(line.c_str() + p + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3],
                        &h[4], &h[5]) != 6) {
          return fail(i, "PASV reply: " + line);
        }
        sockaddr_in a = addr_;
        a.sin_port = htons(static_cast<uint16_t>(h[4] * 256 + h[5]));
        c.data = start_connect(a);
        if (c.data < 0) return fail(i, "data connect");
        c.data_secured = c.data_closing = false;
        if (o_.tls) {
          // The handshake starts as soon as the connection is made, resuming the control
          // connection's session.
          c.ds = SSL_new(tls_client_ctx());
          SSL_set_fd(c.ds, c.data);
          SSL_SESSION* session = SSL_get1_session(c.cs);
          if (session != nullptr) {
            SSL_set_session(c.ds, session);
            SSL_SESSION_free(session);
          }
          SSL_set_connect_state(c.ds);
          watch(c.data, (i << 1) | 1, EPOLLOUT, false);
        } else {
          watch(c.data, (i << 1) | 1, c.role == Role::Stor ? 0u : uint32_t{EPOLLIN}, false);
        }
        c.st = St::Transfer;
        if (c.role == Role::Stor) {
          c.to_send = o_.size;
          return send_cmd(i, "STOR " + o_.path);
        }
        return send_cmd(i, (c.role == Role::List ? "LIST " : "RETR ") + o_.path);
      }
      case St::Transfer:
        if (code == 150 || code == 125) {
          c.prelim = true;
          if (c.role == Role::Stor && (!o_.tls || c.data_secured)) {
            watch(c.data, (i << 1) | 1, EPOLLOUT, true);
          }
          return;
        }
        if (code != 226 && code != 250) return fail(i, "transfer: " + line);
        c.final_ok = true;
        return maybe_done(i);
      case St::Quit:
        if (code != 221) return fail(i, "QUIT: " + line);
        drop(i);
        if (c.role == Role::Logins) {
          record(c);
          c.st = St::Done;
          if (now_s() < deadline_) open_ctrl(i);
        } else {
          c.st = St::Done;
        }
        return;
      default:
        return fail(i, "unexpected reply: " + line);
    }
    // Logged in.
    if (c.role == Role::Logins) return quit(i);
    if (o_.tls) {
      c.st = St::Pbsz;
      return send_cmd(i, "PBSZ 0");
    }
    c.st = St::Type;
    send_cmd(i, "TYPE I");
  }

  // One step of the control connection's handshake; USER follows it.
  void ctrl_handshake(size_t i) {
    Client& c = cl_[i];
    int r = SSL_do_handshake(c.cs);
    if (r == 1) {
      c.st = St::User;
      return send_cmd(i, "USER " + o_.user);
    }
    int e = SSL_get_error(c.cs, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      watch(c.ctrl, i << 1, e == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT, true);
      return;
    }
    ERR_clear_error();
    fail(i, "control TLS handshake failed");
  }

  // One step of the data connection's handshake; then the transfer's own events.
  void data_handshake(size_t i) {
    Client& c = cl_[i];
    int r = SSL_do_handshake(c.ds);
    if (r != 1) {
      int e = SSL_get_error(c.ds, r);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        watch(c.data, (i << 1) | 1, e == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT, true);
        return;
      }
      ERR_clear_error();
      return fail(i, "data TLS handshake failed");
    }
    c.data_secured = true;
    uint32_t ev = c.role == Role::Stor ? (c.prelim ? uint32_t{EPOLLOUT} : 0u) : uint32_t{EPOLLIN};
    watch(c.data, (i << 1) | 1, ev, true);
    if (c.role != Role::Stor) on_data(i, EPOLLIN);
  }

  void on_ctrl(size_t i, uint32_t ev) {
    Client& c = cl_[i];
    if (c.st == St::Connecting) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(c.ctrl, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        errno = err;
        return fail(i, std::string("connect: ") + std::strerror(err));
      }
      c.st = St::Greeting;
      watch(c.ctrl, i << 1, EPOLLIN, true);
      return;
    }
    (void)ev;
    if (c.st == St::Handshake) return ctrl_handshake(i);
    const int fd = c.ctrl;
    char tmp[4096];
    ssize_t n;
    if (c.cs != nullptr) {
      // Everything decrypted now: what stays inside TLS is announced by no event.
      n = 0;
      for (;;) {
        int r = SSL_read(c.cs, tmp + n, static_cast<int>(sizeof tmp) - static_cast<int>(n));
        if (r > 0) {
          n += r;
          if (n == static_cast<ssize_t>(sizeof tmp) || SSL_pending(c.cs) == 0) break;
          continue;
        }
        int e = SSL_get_error(c.cs, r);
        ERR_clear_error();
        if (n == 0 && e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) n = -2;
        if (n == 0) n = -1, errno = EAGAIN;
        break;
      }
      if (n == -2) n = 0;
    } else {
      n = recv(c.ctrl, tmp, sizeof tmp, 0);
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      if (c.st == St::Done || c.st == St::Off) return;
      return fail(i, std::string("control connection closed in state ") +
                         std::to_string(static_cast<int>(c.st)));
    }
    c.in.append(tmp, static_cast<size_t>(n));
    size_t start = 0;
    for (;;) {
      size_t nl = c.in.find('\n', start);
      if (nl == std::string::npos) break;
      std::string line = c.in.substr(start, nl - start);
      start = nl + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      bool coded = line.size() >= 3 && isdigit(static_cast<unsigned char>(line[0])) &&
                   isdigit(static_cast<unsigned char>(line[1])) &&
                   isdigit(static_cast<unsigned char>(line[2]));
      int code = coded ? std::atoi(line.substr(0, 3).c_str()) : 0;
      char sep = line.size() > 3 ? line[3] : ' ';
      if (c.multi != 0) {
        if (code == c.multi && sep == ' ') c.multi = 0;
        else continue;
      } else if (!coded) {
        continue;
      } else if (sep == '-') {
        c.multi = code;
        continue;
      }
      on_reply(i, code, line);
      if (c.ctrl != fd) return;  // dropped (failed or quit), perhaps already reconnected
    }
    c.in.erase(0, start);
  }

  void on_data(size_t i, uint32_t ev) {
    Client& c = cl_[i];
    if (c.data < 0) return;
    c.last = now_s();
    if (c.ds != nullptr && !c.data_secured) return data_handshake(i);
    if (c.role == Role::Stor) {
      if (c.data_closing) return;
      if (ev & (EPOLLERR | EPOLLHUP)) return fail(i, "STOR data connection failed");
      while (c.to_send > 0) {
        size_t len = static_cast<size_t>(std::min<uint64_t>(c.to_send, kSendChunk));
        ssize_t n = c.ds != nullptr
                        ? tls_io(c.ds, SSL_write(c.ds, buf_.data(), static_cast<int>(len)))
                        : send(c.data, buf_.data(), len, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) return fail(i, std::string("STOR send: ") + std::strerror(errno));
        c.to_send -= static_cast<uint64_t>(n);
        c.bytes += static_cast<uint64_t>(n);
      }
      if (c.ds != nullptr) {
        // End of file: close_notify; the connection closes after the server's reply.
        SSL_shutdown(c.ds);
        c.data_closing = true;
        watch(c.data, (i << 1) | 1, 0, true);
        return maybe_done(i);
      }
      close(c.data);  // end of file for the server
      c.data = -1;
      return maybe_done(i);
    }
    for (int k = 0; k < 4 || (c.ds != nullptr && SSL_pending(c.ds) > 0); ++k) {
      ssize_t n = c.ds != nullptr
                      ? tls_io(c.ds, SSL_read(c.ds, buf_.data(), static_cast<int>(kRecvChunk)))
                      : recv(c.data, buf_.data(), kRecvChunk, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (n < 0) return fail(i, std::string("data recv: ") + std::strerror(errno));
      if (n == 0) {
        // Closed at once, as clients do: some servers wait for it before their "226".
        close_data(c);
        c.data_eof = true;
        return maybe_done(i);
      }
      c.bytes += static_cast<uint64_t>(n);
      if (c.role == Role::List) {
        stats_.lines += static_cast<uint64_t>(std::count(buf_.data(), buf_.data() + n, '\n'));
      }
    }
  }

  // An SSL_read or SSL_write result as recv and send give it: EAGAIN while it waits, 0 at the
  // end of the stream (close_notify or a bare close).
  static ssize_t tls_io(SSL* ssl, int r) {
    if (r > 0) return r;
    int e = SSL_get_error(ssl, r);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      errno = EAGAIN;
      return -1;
    }
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) return 0;
    if (errno == 0) errno = EPROTO;
    return -1;
  }

  void poll(double timeout_s) {
    epoll_event evs[kMaxEvents];
    int n = epoll_wait(ep_, evs, kMaxEvents, static_cast<int>(timeout_s * 1000));
    if (n < 0 && errno != EINTR) die("epoll_wait");
    for (int k = 0; k < n; ++k) {
      size_t i = static_cast<size_t>(evs[k].data.u64 >> 1);
      if (evs[k].data.u64 & 1) {
        on_data(i, evs[k].events);
      } else if (cl_[i].ctrl >= 0) {
        on_ctrl(i, evs[k].events);
      }
    }
    double t = now_s();
    if (t - last_sweep_ < 0.5) return;
    last_sweep_ = t;
    for (size_t i = 0; i < cl_.size(); ++i) {
      St s = cl_[i].st;
      if (s != St::Off && s != St::Done && s != St::Ready && t - cl_[i].last > o_.stall) {
        fail(i, "no progress for " + std::to_string(static_cast<int>(o_.stall)) + " s");
      }
    }
  }

  const Options& o_;
  sockaddr_in addr_;
  int ep_ = -1;
  std::vector<Client> cl_;
  std::vector<char> buf_;
  Stats stats_;
  long repeat_ = 1;
  double deadline_ = 0;
  double last_sweep_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Output.

double pct(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(k, v.size() - 1)];
}

struct Json {
  std::string s = "{";
  void add(const char* k, double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.6g", v);
    field(k, b);
  }
  void add(const char* k, const std::string& v) {
    std::string q = "\"";
    for (char ch : v) {
      if (ch == '"' || ch == '\\') q += '\\';
      if (static_cast<unsigned char>(ch) >= 0x20) q += ch;
    }
    field(k, q + "\"");
  }
  void field(const char* k, const std::string& v) {
    if (s.size() > 1) s += ",";
    s += "\"" + std::string(k) + "\":" + v;
  }
  void print() { std::printf("%s}\n", s.c_str()); }
};

// Throughput, rates and server CPU of one measured window.
void report(Json& j, const Stats& st, double secs, const ProcSample& a, const ProcSample& b,
            const char* prefix = "") {
  auto key = [&](const char* k) { return std::string(prefix) + k; };
  const double gib = static_cast<double>(st.bytes) / (1024.0 * 1024 * 1024);
  const double cpu = b.cpu_s - a.cpu_s;
  j.add(key("ops").c_str(), static_cast<double>(st.ops));
  j.add(key("bytes").c_str(), static_cast<double>(st.bytes));
  j.add(key("seconds").c_str(), secs);
  j.add(key("mbps").c_str(), secs > 0 ? static_cast<double>(st.bytes) / 1e6 / secs : 0);
  j.add(key("ops_per_s").c_str(), secs > 0 ? static_cast<double>(st.ops) / secs : 0);
  j.add(key("p50_ms").c_str(), pct(st.lat_ms, 0.50));
  j.add(key("p99_ms").c_str(), pct(st.lat_ms, 0.99));
  j.add(key("mean_ms").c_str(),
        st.lat_ms.empty() ? 0 : [&] {
          double t = 0;
          for (double x : st.lat_ms) t += x;
          return t / static_cast<double>(st.lat_ms.size());
        }());
  if (st.lines) j.add(key("lines_per_op").c_str(), static_cast<double>(st.lines) / st.ops);
  j.add(key("errors").c_str(), static_cast<double>(st.errors));
  if (!st.first_error.empty()) j.add(key("first_error").c_str(), st.first_error);
  j.add(key("server_cpu_s").c_str(), cpu);
  j.add(key("client_cpu_s").c_str(), b.self_cpu_s - a.self_cpu_s);
  if (gib > 0) j.add(key("cpu_s_per_gib").c_str(), cpu / gib);
}

// ---------------------------------------------------------------------------------------------
// Modes.

int run_transfers(const Options& o, Role role) {
  Driver d(o);
  size_t first = d.add(role, o.clients);
  int ready = d.login(first, static_cast<size_t>(o.clients));
  Stats login_stats = d.take_stats();
  Json j;
  j.add("mode", o.mode);
  j.add("label", o.label);
  j.add("clients", o.clients);
  if (ready != o.clients) {
    j.add("errors", static_cast<double>(login_stats.errors));
    j.add("first_error", "login: " + login_stats.first_error);
    j.print();
    return 1;
  }
  ProcSample a = sample_tree(o.server_pid, false);
  double t0 = now_s();
  d.transfer(first, static_cast<size_t>(o.clients), o.repeat, o.duration > 0 ? t0 + o.duration : 0,
             false);
  double t1 = now_s();
  ProcSample b = sample_tree(o.server_pid, false);
  Stats st = d.take_stats();
  d.close_all();
  double secs = o.duration > 0 ? std::min(t1 - t0, o.duration) : t1 - t0;
  report(j, st, secs, a, b);
  j.print();
  return st.errors ? 1 : 0;
}

int run_logins(const Options& o) {
  Driver d(o);
  size_t first = d.add(Role::Logins, o.clients);
  ProcSample a = sample_tree(o.server_pid, false);
  double t0 = now_s();
  d.login_loop(first, static_cast<size_t>(o.clients), t0 + o.duration);
  ProcSample b = sample_tree(o.server_pid, false);
  Stats st = d.take_stats();
  d.close_all();
  Json j;
  j.add("mode", o.mode);
  j.add("label", o.label);
  j.add("clients", o.clients);
  report(j, st, o.duration, a, b);
  j.print();
  return st.ops > 0 ? 0 : 1;
}

int run_idle(const Options& o) {
  Driver d(o);
  Json j;
  j.add("mode", o.mode);
  j.add("label", o.label);
  j.add("sessions", o.sessions);
  auto one_retr = [&](const char* prefix) {
    size_t i = d.add(Role::Retr, 1);
    if (d.login(i, 1) != 1) return false;
    d.take_stats();
    ProcSample a = sample_tree(o.server_pid, false);
    double t0 = now_s();
    d.transfer(i, 1, 1, 0, false);
    double t1 = now_s();
    ProcSample b = sample_tree(o.server_pid, false);
    Stats st = d.take_stats();
    report(j, st, t1 - t0, a, b, prefix);
    return st.errors == 0;
  };
  bool ok = one_retr("alone_");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ProcSample m0 = sample_tree(o.server_pid, true);
  size_t first = d.add(Role::Idle, o.sessions);
  double t0 = now_s();
  int ready = d.login(first, static_cast<size_t>(o.sessions));
  double t1 = now_s();
  Stats ls = d.take_stats();
  // Two seconds of nothing: what the idle sessions alone cost the server (its timer's work).
  ProcSample i0 = sample_tree(o.server_pid, false);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ProcSample m1 = sample_tree(o.server_pid, true);
  j.add("idle_server_cpu_ms_per_s", (m1.cpu_s - i0.cpu_s) * 1000 / 2);
  j.add("logged_in", ready);
  j.add("login_seconds", t1 - t0);
  j.add("login_errors", static_cast<double>(ls.errors));
  if (!ls.first_error.empty()) j.add("login_first_error", ls.first_error);
  j.add("procs_before", m0.procs);
  j.add("procs_after", m1.procs);
  j.add("rss_kib_before", m0.rss_kib);
  j.add("rss_kib_after", m1.rss_kib);
  if (ready > 0) {
    j.add("rss_kib_per_session", (m1.rss_kib - m0.rss_kib) / ready);
    j.add("pss_kib_per_session", (m1.pss_kib - m0.pss_kib) / ready);
  }
  ok = one_retr("busy_") && ok;
  d.close_all();
  j.print();
  return ok && ready == o.sessions ? 0 : 1;
}

// The loopback ceiling: forked senders write --size bytes each in --send-size pieces; this
// process reads as the FTP clients do (non-blocking, one epoll loop, kRecvChunk reads).
int run_raw(const Options& o) {
  int lfd = listen_loopback(0, 64);
  int port = local_port(lfd);
  double t0 = now_s();
  std::vector<pid_t> kids;
  for (int s = 0; s < o.streams; ++s) {
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a = make_addr("127.0.0.1", port);
      if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) _exit(1);
      uint64_t left = o.size;
      if (!o.stage_file.empty()) {
        // Staged as a file server must: --read-size blocks read from the file (from its
        // start again at its end), each sent in --send-size pieces.
        int file = open(o.stage_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0) _exit(1);
        std::vector<char> block(static_cast<size_t>(o.read_size));
        while (left > 0) {
          ssize_t got = read(file, block.data(), block.size());
          if (got == 0 && lseek(file, 0, SEEK_SET) == 0) continue;
          if (got <= 0) _exit(1);
          for (size_t at = 0; at < static_cast<size_t>(got) && left > 0;) {
            size_t len = std::min({static_cast<size_t>(got) - at, static_cast<size_t>(o.send_size),
                                   static_cast<size_t>(left)});
            ssize_t n = send(fd, block.data() + at, len, 0);
            if (n <= 0) _exit(1);
            at += static_cast<size_t>(n);
            left -= static_cast<uint64_t>(n);
          }
        }
        _exit(0);
      }
      std::vector<char> b(static_cast<size_t>(o.send_size), 'x');
      while (left > 0) {
        size_t len = static_cast<size_t>(std::min<uint64_t>(left, b.size()));
        ssize_t n = send(fd, b.data(), len, 0);
        if (n <= 0) _exit(1);
        left -= static_cast<uint64_t>(n);
      }
      close(fd);
      _exit(0);
    }
    kids.push_back(pid);
  }
  int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = lfd;
  epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
  std::vector<char> buf(kRecvChunk);
  int open_streams = 0, finished = 0;
  uint64_t total = 0;
  while (finished < o.streams) {
    epoll_event evs[64];
    int n = epoll_wait(ep, evs, 64, 1000);
    for (int k = 0; k < n; ++k) {
      int fd = evs[k].data.fd;
      if (fd == lfd) {
        int c;
        while ((c = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          epoll_event e{};
          e.events = EPOLLIN;
          e.data.fd = c;
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
          ++open_streams;
        }
        continue;
      }
      for (int r = 0; r < 4; ++r) {
        ssize_t got = recv(fd, buf.data(), buf.size(), 0);
        if (got < 0) break;
        if (got == 0) {
          close(fd);
          ++finished;
          break;
        }
        total += static_cast<uint64_t>(got);
      }
    }
  }
  double t1 = now_s();
  double sender_cpu = 0;
  for (pid_t pid : kids) {
    int status;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    sender_cpu += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                  static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  const double gib = static_cast<double>(total) / (1024.0 * 1024 * 1024);
  Json j;
  j.add("mode", "raw");
  j.add("label", o.label);
  j.add("streams", o.streams);
  j.add("send_size", o.send_size);
  if (!o.stage_file.empty()) j.add("read_size", o.read_size);
  j.add("bytes", static_cast<double>(total));
  j.add("seconds", t1 - t0);
  j.add("mbps", static_cast<double>(total) / 1e6 / (t1 - t0));
  j.add("server_cpu_s", sender_cpu);
  if (gib > 0) j.add("cpu_s_per_gib", sender_cpu / gib);
  j.add("errors", total == o.size * static_cast<uint64_t>(o.streams) ? 0 : 1);
  j.print();
  return 0;
}

// A minimal FTP responder: every reply is one short line, RETR sends --size bytes of memory,
// LIST sends one line. It answers as fast as one epoll loop can, so the client loops measured
// against it show the generator's own ceiling.
int run_fake_server(const Options& o) {
  signal(SIGPIPE, SIG_IGN);
  int lfd = listen_loopback(o.port, 1024);
  int ep = epoll_create1(EPOLL_CLOEXEC);
  struct Conn {
    int ctrl = -1, pasv = -1, data = -1;
    bool pending = false;
    bool list = false;
    std::string in;
  };
  std::vector<Conn> conns;
  std::vector<size_t> free_slots;
  std::string payload(static_cast<size_t>(o.size), 'x');
  auto tag = [](size_t id, int kind) { return (static_cast<uint64_t>(id) << 2) | kind; };
  auto add = [&](int fd, uint64_t t) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = t;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
  };
  add(lfd, tag(0, 3));
  auto reply = [](int fd, const char* s) { (void)!send(fd, s, std::strlen(s), MSG_NOSIGNAL); };
  auto close_conn = [&](size_t id) {
    Conn& c = conns[id];
    for (int* fd : {&c.ctrl, &c.pasv, &c.data}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    c.in.clear();
    free_slots.push_back(id);
  };
  auto send_data = [&](size_t id) {
    Conn& c = conns[id];
    reply(c.ctrl, "150 Opening data connection.\r\n");
    if (c.list) {
      reply(c.data, "-rw-r--r-- 1 ftp ftp 4096 Jan 01 00:00 file\r\n");
    } else {
      // The data socket blocks (accepted without O_NONBLOCK): for the few KiB this responder
      // serves that is simpler than a send state.
      size_t off = 0;
      while (off < payload.size()) {
        ssize_t n = send(c.data, payload.data() + off, payload.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
    }
    // The client closes first on the end of file, as with the real servers that wait for it:
    // the TIME_WAIT then stays on the client's side and the next passive bind stays cheap.
    shutdown(c.data, SHUT_WR);
    add(c.data, tag(static_cast<size_t>(c.data), 2));
    c.data = -1;
    c.pending = false;
    reply(c.ctrl, "226 Transfer complete.\r\n");
  };
  std::vector<char> buf(4096);
  for (;;) {
    epoll_event evs[kMaxEvents];
    int n = epoll_wait(ep, evs, kMaxEvents, -1);
    for (int k = 0; k < n; ++k) {
      size_t id = static_cast<size_t>(evs[k].data.u64 >> 2);
      int kind = static_cast<int>(evs[k].data.u64 & 3);
      if (kind == 3) {
        int fd;
        while ((fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          size_t nid;
          if (!free_slots.empty()) {
            nid = free_slots.back();
            free_slots.pop_back();
          } else {
            nid = conns.size();
            conns.emplace_back();
          }
          // Replies go out at once: "150" then "226" must not wait on the client's delayed ACK.
          int one = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          conns[nid] = Conn{};
          conns[nid].ctrl = fd;
          add(fd, tag(nid, 0));
          reply(fd, "220 ready\r\n");
        }
        continue;
      }
      if (kind == 2) {  // a sent data connection, waiting for the client's close
        const int fd = static_cast<int>(id);
        char sink[256];
        if (recv(fd, sink, sizeof sink, MSG_DONTWAIT) <= 0) close(fd);
        continue;
      }
      Conn& c = conns[id];
      if (kind == 1) {  // the passive listener
        if (c.pasv < 0) continue;
        int fd = accept4(c.pasv, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        close(c.pasv);
        c.pasv = -1;
        c.data = fd;
        if (c.pending) send_data(id);
        continue;
      }
      if (c.ctrl < 0) continue;
      ssize_t got = recv(c.ctrl, buf.data(), buf.size(), 0);
      if (got < 0 && errno == EAGAIN) continue;
      if (got <= 0) {
        close_conn(id);
        continue;
      }
      c.in.append(buf.data(), static_cast<size_t>(got));
      size_t nl;
      while (c.ctrl >= 0 && (nl = c.in.find('\n')) != std::string::npos) {
        std::string cmd = c.in.substr(0, std::min<size_t>(4, nl));
        c.in.erase(0, nl + 1);
        for (char& ch : cmd) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        if (cmd == "USER") {
          reply(c.ctrl, "331 Password required.\r\n");
        } else if (cmd == "PASS") {
          reply(c.ctrl, "230 Logged in.\r\n");
        } else if (cmd == "TYPE") {
          reply(c.ctrl, "200 Type set.\r\n");
        } else if (cmd == "PASV") {
          if (c.pasv >= 0) close(c.pasv);
          // Out of local ports (loopback full of TIME_WAIT sockets), as a server would say it.
          c.pasv = try_listen_loopback(0, 1);
          if (c.pasv < 0) {
            reply(c.ctrl, "425 Can't open passive connection.\r\n");
            continue;
          }
          add(c.pasv, tag(id, 1));
          int p = local_port(c.pasv);
          char r[96];
          std::snprintf(r, sizeof r, "227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n", p >> 8,
                        p & 255);
          reply(c.ctrl, r);
        } else if (cmd == "RETR" || cmd == "LIST") {
          c.list = cmd == "LIST";
          c.pending = true;
          if (c.data >= 0) send_data(id);
        } else if (cmd == "QUIT") {
          reply(c.ctrl, "221 Goodbye.\r\n");
          close_conn(id);
        } else {
          reply(c.ctrl, "502 Not implemented.\r\n");
        }
      }
    }
  }
}

// Kills every process this one is the parent of (orphans of the tree land here).
void kill_children(int sig) {
  const int self = static_cast<int>(getpid());
  for_each_proc_stat([&](int pid, const char* p) {
    int ppid = 0;
    if (std::sscanf(p, "%*c %d", &ppid) == 1 && ppid == self) kill(static_cast<pid_t>(pid), sig);
  });
}

// A task-clock counter on this process, inherited by every process forked below it: its value
// sums the CPU time of the whole tree, including processes that have exited (even those reaped
// by a parent that ignores SIGCHLD, whose time /proc loses). -1 when perf events are refused.
int open_tree_clock() {
  perf_event_attr a{};
  a.size = sizeof a;
  a.type = PERF_TYPE_SOFTWARE;
  a.config = PERF_COUNT_SW_TASK_CLOCK;
  a.inherit = 1;
  return static_cast<int>(syscall(SYS_perf_event_open, &a, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

// Writes "SEQ SECONDS" (SECONDS -1 without a counter) to `path`, replaced atomically.
void write_cpu_file(const std::string& path, int counter, uint64_t seq) {
  double secs = -1;
  uint64_t ns = 0;
  if (counter >= 0 && read(counter, &ns, sizeof ns) == static_cast<ssize_t>(sizeof ns)) {
    secs = static_cast<double>(ns) / 1e9;
  }
  std::string tmp = path + ".tmp";
  if (FILE* f = std::fopen(tmp.c_str(), "w")) {
    std::fprintf(f, "%llu %.6f\n", static_cast<unsigned long long>(seq), secs);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
  }
}

// ftpload wrap [--cpu-file F] CMD [ARGS...]: SIGUSR1 asks for the tree's CPU time in F.
int run_wrap(char** argv) {
  std::string cpu_file;
  if (argv[0] && std::strcmp(argv[0], "--cpu-file") == 0 && argv[1]) {
    cpu_file = argv[1];
    argv += 2;
  }
  if (!argv[0]) {
    std::fprintf(stderr, "ftpload wrap: no command\n");
    return 2;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) < 0) die("prctl");
  const int counter = open_tree_clock();
  sigset_t set, old;
  sigemptyset(&set);
  for (int sig : {SIGCHLD, SIGUSR1, SIGTERM, SIGINT}) sigaddset(&set, sig);
  sigprocmask(SIG_BLOCK, &set, &old);
  pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    sigprocmask(SIG_SETMASK, &old, nullptr);
    setpgid(0, 0);
    execvp(argv[0], argv);
    std::fprintf(stderr, "ftpload wrap: can't run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  setpgid(child, child);
  uint64_t seq = 0;
  if (!cpu_file.empty()) write_cpu_file(cpu_file, counter, seq++);
  int status = 0;
  bool running = true;
  while (running) {
    int sig = sigwaitinfo(&set, nullptr);
    if (sig == SIGUSR1) {
      if (!cpu_file.empty()) write_cpu_file(cpu_file, counter, seq++);
    } else if (sig == SIGTERM || sig == SIGINT) {
      kill(child, SIGTERM);
    } else if (sig == SIGCHLD) {
      for (;;) {
        int st = 0;
        pid_t pid = waitpid(-1, &st, WNOHANG);
        if (pid <= 0) break;
        if (pid == child) {
          status = st;
          running = false;
        }
      }
    }
  }
  // The server is gone: end what is left of its tree (sessions outlive some listeners).
  kill(-child, SIGTERM);
  kill_children(SIGTERM);
  const double until = now_s() + 2;
  for (;;) {
    pid_t pid = waitpid(-1, nullptr, WNOHANG);
    if (pid < 0 && errno == ECHILD) break;
    if (pid == 0) {
      if (now_s() > until) {
        kill(-child, SIGKILL);
        kill_children(SIGKILL);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void usage(FILE* out) {
  std::fprintf(out,
               "usage: ftpload MODE [options]\n"
               "modes: retr stor list logins idle raw fake-server; ftpload wrap CMD [ARGS...]\n"
               "  --host IP --port N --user NAME --pass TEXT --path PATH --label TEXT\n"
               "  --clients N --duration S | --repeat N --size BYTES --expect BYTES\n"
               "  --sessions N --ramp N --send-size N --streams N --server-pid PID --stall S\n"
               "  --stage-file F --read-size N (raw: send what F's reads of N bytes bring)\n"
               "  --cpu-file F (the file of 'ftpload wrap --cpu-file F' running as --server-pid)\n"
               "  --tls 1 (explicit FTP over TLS: AUTH TLS, PBSZ 0, PROT P, sessions resumed)\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "wrap") == 0) {
    if (argc < 3) {
      usage(stderr);
      return 2;
    }
    return run_wrap(argv + 2);
  }
  Options o;
  o.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) {
      usage(stderr);
      return 2;
    }
    std::string v = argv[++i];
    if (a == "--host") o.host = v;
    else if (a == "--port") o.port = std::atoi(v.c_str());
    else if (a == "--user") o.user = v;
    else if (a == "--pass") o.pass = v;
    else if (a == "--path") o.path = v;
    else if (a == "--label") o.label = v;
    else if (a == "--clients") o.clients = std::max(1, std::atoi(v.c_str()));
    else if (a == "--duration") o.duration = std::atof(v.c_str());
    else if (a == "--repeat") o.repeat = std::max(1L, std::atol(v.c_str()));
    else if (a == "--size") o.size = std::strtoull(v.c_str(), nullptr, 10);
    else if (a == "--expect") o.expect = std::strtoull(v.c_str(), nullptr, 10);
    else if (a == "--sessions") o.sessions = std::max(0, std::atoi(v.c_str()));
    else if (a == "--ramp") o.ramp = std::max(1, std::atoi(v.c_str()));
    else if (a == "--send-size") o.send_size = std::max(1, std::atoi(v.c_str()));
    else if (a == "--stage-file") o.stage_file = v;
    else if (a == "--read-size") o.read_size = std::max(1, std::atoi(v.c_str()));
    else if (a == "--streams") o.streams = std::max(1, std::atoi(v.c_str()));
    else if (a == "--server-pid") o.server_pid = std::atoi(v.c_str());
    else if (a == "--cpu-file") o.cpu_file = v;
    else if (a == "--stall") o.stall = std::atof(v.c_str());
    else if (a == "--tls") o.tls = v == "1";
    else {
      std::fprintf(stderr, "ftpload: unknown option '%s'\n", a.c_str());
      return 2;
    }
  }
  g_cpu_file = o.cpu_file;
  raise_fd_limit();
  signal(SIGPIPE, SIG_IGN);
  if (o.mode == "retr") return run_transfers(o, Role::Retr);
  if (o.mode == "stor") return run_transfers(o, Role::Stor);
  if (o.mode == "list") return run_transfers(o, Role::List);
  if (o.mode == "logins") return run_logins(o);
  if (o.mode == "idle") return run_idle(o);
  if (o.mode == "raw") return run_raw(o);
  if (o.mode == "fake-server") return run_fake_server(o);
  std::fprintf(stderr, "ftpload: unknown mode '%s'\n", o.mode.c_str());
  usage(stderr);
  return 2;
}
