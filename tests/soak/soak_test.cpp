// A bounded soak of `qorda serve`: several hundred concurrent clients on loopback, all driven by
// one event loop in this process, for about a minute. They log in (and fail to), list, download
// and upload over passive and active connections, abort at random moments, drop connections in
// the middle of transfers, sit idle, flood the server with commands without reading a reply,
// and send binary garbage, over-long lines and Telnet sequences. Afterwards the server must still
// greet and serve a new client at once, be back near its descriptor count and memory from
// before, hold every upload it confirmed byte for byte, have counted exactly the transfers that
// completed, and end cleanly on SIGTERM.
//
// The run is seeded (QORDA_SOAK_SEED) and bounded (QORDA_SOAK_SECONDS, QORDA_SOAK_CLIENTS); the
// sanitizer build runs a shorter soak by default.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/socket.h"
#include "tests/soak/soak_driver.h"
#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test::soak {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// ---- run parameters ----

struct Plan {
  int seconds = 0;        // the soak itself
  int clients = 0;        // concurrent clients kept up during the soak
  int drain_seconds = 0;  // time the running clients get to finish afterwards
  uint64_t seed = 0;
};

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  const int n = std::atoi(v);
  return n > 0 ? n : fallback;
}

Plan make_plan() {
  Plan p;
  // The sanitizer build is several times slower; a shorter soak keeps its run within minutes.
  p.seconds = env_int("QORDA_SOAK_SECONDS", kSanitized ? 45 : 75);
  p.clients = env_int("QORDA_SOAK_CLIENTS", 350);
  p.drain_seconds = kSanitized ? 90 : 45;
  p.seed = static_cast<uint64_t>(env_int("QORDA_SOAK_SEED", 20261208));
  return p;
}

// ---- the server process ----

// `qorda serve` in the background. A reader thread drains its output (a pipe the server would
// otherwise block on under load), keeps the last lines for diagnostics, and notes the pid, the
// "enabled" line and the exit status; the waits below are bounded by deadlines.
class ServerProcess {
 public:
  ServerProcess(const std::string& home, uint16_t port) {
    // Enough descriptors for every session and data connection of the soak.
    const std::string cmd = "exec 2>&1; ulimit -n 8192 2>/dev/null; '" + std::string(QORDA_BINARY) +
                            "' --home '" + home + "' serve --port " + std::to_string(port) +
                            " & echo PID:$!; wait $!; echo EXIT:$?";
    pipe_ = ::popen(cmd.c_str(), "r");
    if (pipe_ != nullptr) reader_ = std::thread([this] { read_lines(); });
  }
  ~ServerProcess() {
    int pid = -1;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (!ended_) pid = pid_;
    }
    if (pid > 0) ::kill(pid, SIGKILL);
    if (reader_.joinable()) reader_.join();
    if (pipe_ != nullptr) ::pclose(pipe_);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool wait_ready(Clock::duration limit) {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait_for(g, limit, [this] { return ready_ || ended_; });
    return ready_ && !ended_ && pid_ > 0;
  }
  // The exit status, or nullopt when the process has not ended within `limit`.
  std::optional<int> wait_exit(Clock::duration limit) {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait_for(g, limit, [this] { return ended_; });
    if (!ended_) return std::nullopt;
    return exit_;
  }
  int pid() const {
    std::lock_guard<std::mutex> g(mu_);
    return pid_;
  }
  bool running() const {
    std::lock_guard<std::mutex> g(mu_);
    return pid_ > 0 && !ended_;
  }
  void signal(int signo) {
    const int pid = this->pid();
    if (pid > 0 && running()) ::kill(pid, signo);
  }
  size_t lines() const {
    std::lock_guard<std::mutex> g(mu_);
    return lines_;
  }
  std::string tail() const {
    std::lock_guard<std::mutex> g(mu_);
    std::string out;
    for (const std::string& l : tail_) out += l + "\n";
    return out;
  }

 private:
  static constexpr size_t kTailLines = 60;

  void read_lines() {
    char buf[4096];
    while (std::fgets(buf, sizeof buf, pipe_) != nullptr) {
      std::string line = buf;
      if (!line.empty() && line.back() == '\n') line.pop_back();
      std::lock_guard<std::mutex> g(mu_);
      if (line.rfind("PID:", 0) == 0) {
        pid_ = std::atoi(line.c_str() + 4);
      } else if (line.rfind("EXIT:", 0) == 0) {
        exit_ = std::atoi(line.c_str() + 5);
      } else {
        ++lines_;
        if (line.find("enabled on port") != std::string::npos) ready_ = true;
        tail_.push_back(line);
        if (tail_.size() > kTailLines) tail_.pop_front();
      }
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> g(mu_);
    ended_ = true;
    cv_.notify_all();
  }

  std::FILE* pipe_ = nullptr;
  std::thread reader_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int pid_ = -1;
  int exit_ = -1;
  bool ready_ = false;
  bool ended_ = false;
  size_t lines_ = 0;
  std::deque<std::string> tail_;
};

// Open descriptors of a process (-1 when it cannot be read).
int open_descriptors(int pid) {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return ec ? -1 : n;
}

// Resident memory of a process in KiB (-1 when it cannot be read).
long rss_kib(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// `qorda --home HOME ARGS`; output and error together.
std::string cli(const std::string& home, const std::string& args, int* status) {
  std::string out;
  const std::string cmd =
      "'" + std::string(QORDA_BINARY) + "' --home '" + home + "' " + args + " 2>&1";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return out;
  }
  char buf[1024];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  *status = ::pclose(p);
  return out;
}

// ---- content ----

uint64_t splitmix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Bytes [offset, offset + n) of the upload stream named by `seed`, so an upload's content can be
// produced piece by piece and checked on disk afterwards without keeping it.
std::string pattern(uint64_t seed, uint64_t offset, size_t n) {
  std::string out(n, '\0');
  uint64_t block = ~0ull;
  uint64_t word = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t pos = offset + i;
    if (pos / 8 != block) {
      block = pos / 8;
      word = splitmix(seed * 0x100000001b3ull ^ block);
    }
    out[i] = static_cast<char>(word >> (8 * (pos % 8)));
  }
  return out;
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The files clients download, in /c:/pub/.
struct PubFile {
  std::string name;
  std::string bytes;
};

std::vector<PubFile> make_pub_files() {
  const size_t sizes[] = {0, 1000, 65536, 333333, 2 * 1024 * 1024 + 17};
  std::vector<PubFile> files;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    files.push_back({"f" + std::to_string(i) + ".bin", pattern(1000 + i, 0, sizes[i])});
  }
  return files;
}

constexpr uint64_t kUploadSizes[] = {0, 1, 1023, 1024, 4097, 65536, 200000, 777777};

// ---- accounts ----

// Two accounts keep the statistics check exact: "clean" clients only ever run transfers to the
// end and read every reply, so the transfers they saw completed are exactly what the server
// must have counted for that account. Everything abusive (aborts, drops, floods, garbage after
// login) uses "rough", whose counters move with refunds and races the client cannot see.
constexpr const char* kCleanUser = "clean";
constexpr const char* kCleanPass = "cleanpw";
constexpr const char* kRoughUser = "rough";
constexpr const char* kRoughPass = "roughpw";

// ---- tallies ----

struct Tally {
  int spawned[6] = {};
  int peak = 0;
  int clean_dl_files = 0;
  uint64_t clean_dl_kb = 0;
  int clean_ul_files = 0;
  uint64_t clean_ul_kb = 0;
  int listings = 0;
  int rough_dl_done = 0;
  int rough_ul_done = 0;
  // Bounds of the rough account's counters: refunds and races make them unknowable exactly,
  // but every charge stems from a command sent and every confirmed transfer stays counted.
  int rough_retr_sent = 0;
  uint64_t rough_retr_kb_max = 0;
  uint64_t rough_dl_kb_min = 0;
  int rough_stor_sent = 0;
  uint64_t rough_stor_kb_max = 0;
  uint64_t rough_ul_kb_min = 0;
  int aborts = 0;
  int data_drops = 0;
  int full_drops = 0;
  int stalls = 0;
  int wrong_passwords = 0;
  int slow_closed_by_server = 0;
  uint64_t slow_command_bytes = 0;
  uint64_t garbage_bytes = 0;
  int garbage_quit_closed = 0;
  int idle = 0;
  uint64_t bytes_down = 0;
  uint64_t bytes_up = 0;
};

// An upload the server confirmed with "226 Transfer Complete.": the file must hold exactly the
// first `size` bytes of its pattern.
struct ConfirmedUpload {
  std::string local_path;
  uint64_t seed;
  uint64_t size;
};

enum class Kind { Clean, Rough, WrongPass, Idle, SlowReader, Garbage };
const char* kind_name(Kind k) {
  static const char* const names[] = {"clean", "rough",       "wrong-pass",
                                      "idle",  "slow-reader", "garbage"};
  return names[static_cast<int>(k)];
}

// Shared state of the run.
struct Soak {
  Driver* driver = nullptr;
  uint16_t port = 0;
  std::string drive;  // local directory of drive c:
  std::vector<PubFile> pub;
  std::mt19937_64 rng;
  Tally tally;
  std::vector<ConfirmedUpload> uploads;
  std::vector<std::string> faults;
  bool draining = false;
  uint64_t next_id = 1;

  uint64_t below(uint64_t n) { return n == 0 ? 0 : rng() % n; }
  bool chance(int percent) { return static_cast<int>(below(100)) < percent; }
  void fault(const std::string& what) {
    if (faults.size() < 200) faults.push_back(what);
  }
};

// ---- clients ----

enum class OpType { Retr, Stor, List, Nlst, Misc };
// Stall: the client stops reading (or sending) the data connection for a while, then goes on.
enum class Disrupt { None, AborEarly, AborMid, DropData, DropAll, Stall };

struct Op {
  OpType type = OpType::Misc;
  bool pasv = true;
  Disrupt disrupt = Disrupt::None;
  uint64_t threshold = 0;  // bytes moved before the disruption
  size_t file = 0;         // index into the pub files (Retr)
  uint64_t rest = 0;       // restart offset (Retr)
  uint64_t size = 0;       // upload size (Stor)
  std::string misc;        // the command of a Misc op
};

enum class St {
  Connecting,
  Greeting,
  User,
  Pass,
  Type,
  Setup,   // waiting for 227 or 200 (PORT)
  Prelim,  // waiting for 150
  Moving,  // data moving; waiting for the final reply and the end of the data
  Sync,    // after ABOR: consuming replies up to the NOOP's
  Misc,
  Quit,
  Hold,  // idle, or done sending (slow readers, garbage)
  GarbageQuit,
  Done,
};

const char* state_name(St st) {
  static const char* const names[] = {"connecting", "greeting", "user",         "pass", "type",
                                      "setup",      "prelim",   "moving",       "sync", "misc",
                                      "quit",       "hold",     "garbage-quit", "done"};
  return names[static_cast<int>(st)];
}

class Client {
 public:
  Client(Soak& s, Kind kind, std::vector<Op> ops = {}) : s_(s), kind_(kind), ops_(std::move(ops)) {
    id_ = s_.next_id++;
    if (ops_.empty()) plan_ops();
  }
  ~Client() { finish(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void start(Clock::time_point now) {
    started_ = now;
    Stream::Hooks h;
    h.connected = [this](int) { on_connected(); };
    h.data = [this](std::string_view b) { on_ctrl_data(b); };
    h.closed = [this](int err) { on_ctrl_closed(err); };
    ctrl_ = Stream::connect(*s_.driver, platform::SockAddr::loopback(s_.port), std::move(h),
                            kind_ != Kind::SlowReader);
    if (ctrl_ == nullptr) {
      s_.fault(tag() + "could not connect");
      finish();
      return;
    }
    st_ = St::Connecting;
  }

  // Timed behaviour: idle clients wake, holders let go, and the drain phase ends holds.
  void tick(Clock::time_point now) {
    if (stall_until_ != Clock::time_point{} && (now >= stall_until_ || s_.draining)) {
      stall_until_ = {};
      end_stall();
    }
    if (st_ != St::Hold) return;
    if (now < hold_until_ && !s_.draining) return;
    if (kind_ == Kind::Idle && s_.chance(50)) {
      send("QUIT\r\n");
      st_ = St::Quit;
    } else {
      finish();
    }
  }

  bool done() const { return st_ == St::Done; }
  Kind kind() const { return kind_; }
  // Clients whose end the test waits for (the others are let go when the soak ends).
  bool must_finish() const {
    return kind_ == Kind::Clean || kind_ == Kind::Rough || kind_ == Kind::WrongPass ||
           st_ == St::GarbageQuit;
  }
  std::string describe() const {
    return tag() + "state " + state_name(st_) + ", ops left " + std::to_string(ops_.size()) +
           ", last reply \"" + last_reply_ + "\"";
  }
  Clock::duration greeting_delay() const { return greeted_ - started_; }
  bool greeted() const { return greeted_ != Clock::time_point{}; }

 private:
  std::string tag() const {
    return std::string(kind_name(kind_)) + " client " + std::to_string(id_) + ": ";
  }
  bool strict() const { return kind_ == Kind::Clean; }
  const char* user() const { return kind_ == Kind::Clean ? kCleanUser : kRoughUser; }
  const char* password() const { return kind_ == Kind::Clean ? kCleanPass : kRoughPass; }

  void plan_ops() {
    if (kind_ != Kind::Clean && kind_ != Kind::Rough) return;
    const bool rough = kind_ == Kind::Rough;
    const int n = 1 + static_cast<int>(s_.below(rough ? 8 : 6));
    for (int i = 0; i < n; ++i) {
      Op op;
      const int r = static_cast<int>(s_.below(100));
      op.type = r < 35   ? OpType::Retr
                : r < 62 ? OpType::Stor
                : r < 77 ? OpType::List
                : r < 85 ? OpType::Nlst
                         : OpType::Misc;
      // Clean file transfers go over passive connections only: an active connect the server
      // cannot make after 150 keeps the download's charge, which the client could not tell
      // from a completed one.
      op.pasv =
          (op.type == OpType::Retr || op.type == OpType::Stor) && !rough ? true : s_.chance(50);
      op.file = s_.below(s_.pub.size());
      op.size = kUploadSizes[s_.below(std::size(kUploadSizes))];
      if (op.type == OpType::Misc) op.misc = pick_misc(rough);
      if (rough && op.type == OpType::Retr && s_.chance(20)) {
        op.rest = s_.below(s_.pub[op.file].bytes.size());
      }
      if (op.type != OpType::Misc) {
        const int d = static_cast<int>(s_.below(100));
        if (!rough) {
          op.disrupt = d < 10 ? Disrupt::Stall : Disrupt::None;
        } else {
          op.disrupt = d < 30   ? Disrupt::None
                       : d < 40 ? Disrupt::AborEarly
                       : d < 60 ? Disrupt::AborMid
                       : d < 72 ? Disrupt::DropData
                       : d < 85 ? Disrupt::DropAll
                                : Disrupt::Stall;
        }
        const uint64_t span = op.type == OpType::Retr   ? s_.pub[op.file].bytes.size() - op.rest
                              : op.type == OpType::Stor ? op.size
                                                        : 200;
        op.threshold = s_.below(span + 1);
      }
      ops_.push_back(std::move(op));
    }
  }

  std::string pick_misc(bool rough) {
    static const char* const clean[] = {
        "PWD",         "SYST", "NOOP", "STAT", "HELP", "SIZE /c:/pub/f3.bin", "MDTM /c:/pub/f1.bin",
        "CWD /c:/pub/"};
    static const char* const extra[] = {"ABOR",
                                        "PASV",
                                        "REST 5",
                                        "CDUP",
                                        "SITE HELP",
                                        "PORT 1,2,3",
                                        "RETR /c:/pub/missing.bin",
                                        "STAT /c:/pub/",
                                        "TYPE A",
                                        "HELP RETR",
                                        "STAT /c:/rough/"};
    if (rough && s_.chance(55)) {
      if (s_.chance(10))
        return "MKD /c:/rough/d" + std::to_string(id_) + "_" + std::to_string(s_.below(1000000));
      return extra[s_.below(std::size(extra))];
    }
    return clean[s_.below(std::size(clean))];
  }

  void send(std::string_view bytes) {
    if (ctrl_ != nullptr) ctrl_->send(bytes);
  }

  void finish() {
    if (st_ == St::Done) return;
    st_ = St::Done;
    if (s_.driver == nullptr) return;
    s_.driver->retire(std::move(ctrl_));
    s_.driver->retire(std::move(data_));
    s_.driver->retire(std::move(listener_));
  }

  void on_connected() {
    switch (kind_) {
      case Kind::SlowReader:
        flood();
        break;
      case Kind::Garbage:
        garbage();
        break;
      default:
        st_ = St::Greeting;
        break;
    }
  }

  // Logs in without reading, then sends a long run of commands whose replies it never reads.
  // A big enough run makes the server's output queue overflow and the server close the
  // connection.
  void flood() {
    static const char* const cmds[] = {"HELP\r\n", "NOOP\r\n",      "STAT\r\n", "SYST\r\n",
                                       "PWD\r\n",  "HELP SITE\r\n", "LIST\r\n"};
    std::string text = std::string("USER ") + kRoughUser + "\r\nPASS " + kRoughPass + "\r\n";
    if (s_.chance(15)) {
      // Long listings on the control connection.
      for (size_t i = 0, n = 5 + s_.below(40); i < n; ++i) text += "STAT /c:/rough/\r\n";
    } else if (s_.chance(50)) {
      for (size_t i = 0, n = 100 + s_.below(2000); i < n; ++i) {
        text += cmds[s_.below(std::size(cmds) - 1)];
      }
    } else {
      // Enough HELP replies to fill the socket buffers and then the server's output limit.
      for (size_t i = 0, n = 20000 + s_.below(20000); i < n; ++i) text += "HELP\r\n";
    }
    if (s_.chance(20)) text += "PASV\r\nLIST\r\nNOOP\r\n";  // a transfer left waiting
    s_.tally.slow_command_bytes += text.size();
    send(text);
    st_ = St::Hold;
    hold_until_ = Clock::now() + milliseconds(500 + s_.below(15000));
  }

  std::string garbage_piece() {
    std::string g;
    switch (s_.below(6)) {
      case 0:  // random binary
        for (uint64_t i = 0, n = 1 + s_.below(4000); i < n; ++i) g += static_cast<char>(s_.rng());
        break;
      case 1:  // an over-long line
        g.assign(512 + s_.below(8000), static_cast<char>('a' + s_.below(26)));
        g += "\r\n";
        break;
      case 2:  // Telnet: options, escaped IAC, interrupt and data mark, a lone IAC at the end
        for (uint64_t i = 0, n = 1 + s_.below(40); i < n; ++i) {
          static const unsigned char seqs[][3] = {{255, 251, 1},  {255, 252, 3},   {255, 253, 24},
                                                  {255, 254, 31}, {255, 255, 'x'}, {255, 244, 255},
                                                  {242, 'A', 'B'}};
          const auto& q = seqs[s_.below(std::size(seqs))];
          g.append(reinterpret_cast<const char*>(q), 3);
        }
        if (s_.chance(30)) g += static_cast<char>(255);
        break;
      case 3:  // NULs, backspaces and bare CRs
        for (uint64_t i = 0, n = 1 + s_.below(600); i < n; ++i) {
          static const char bits[] = {'\0', '\b', '\r', 'Q', ' ', '\n'};
          g += bits[s_.below(sizeof bits)];
        }
        break;
      case 4:  // a line exactly at and around the limit
        g.assign(508 + s_.below(8), 'N');
        g += "\r\n";
        break;
      default:  // commands with hostile arguments
        static const char* const bad[] = {"PORT 999,999,999,999,999,999\r\n",
                                          "PORT 127,0,0,1,0,1\r\n",
                                          "CWD ../../../../etc\r\n",
                                          "RETR /c:/../../etc/passwd\r\n",
                                          "USER\r\n",
                                          "SITE \xff\xfe\r\n",
                                          "REST -1\r\n",
                                          "STOR /c:/rough/\r\n",
                                          "NLST -la /c:/pub/*\r\n"};
        g = bad[s_.below(std::size(bad))];
        break;
    }
    return g;
  }

  void garbage() {
    std::string text;
    if (s_.chance(50)) text = std::string("USER ") + kRoughUser + "\r\nPASS " + kRoughPass + "\r\n";
    for (uint64_t i = 0, n = 2 + s_.below(10); i < n; ++i) text += garbage_piece();
    s_.tally.garbage_bytes += text.size();
    if (s_.chance(60)) {
      // However the garbage left the line and Telnet state, a fresh line with QUIT ends it.
      text += "\r\nQUIT\r\n";
      send(text);
      st_ = St::GarbageQuit;
    } else {
      send(text);
      st_ = St::Hold;
      hold_until_ = Clock::now() + milliseconds(s_.below(3000));
    }
  }

  void on_ctrl_data(std::string_view bytes) {
    if (kind_ == Kind::Garbage) return;
    std::vector<Reply> replies;
    parser_.feed(bytes, &replies);
    for (Reply& r : replies) {
      if (st_ == St::Done) return;
      last_reply_ = r.last;
      on_reply(r);
    }
  }

  void on_ctrl_closed(int err) {
    if (st_ == St::Done) return;
    const bool expected = st_ == St::Quit || st_ == St::GarbageQuit ||
                          (kind_ == Kind::WrongPass && attempts_ >= 3) ||
                          kind_ == Kind::SlowReader || kind_ == Kind::Garbage;
    if (st_ == St::GarbageQuit) ++s_.tally.garbage_quit_closed;
    if (kind_ == Kind::SlowReader) ++s_.tally.slow_closed_by_server;
    if (!expected) {
      s_.fault(tag() + "control connection closed (" + std::to_string(err) + ") in state " +
               state_name(st_) + ", last reply \"" + last_reply_ + "\"");
    }
    finish();
  }

  void unexpected(const Reply& r, const char* when) {
    if (strict() || kind_ == Kind::WrongPass || kind_ == Kind::Idle) {
      s_.fault(tag() + "unexpected reply " + when + ": \"" + r.all + "\"");
    }
  }

  void on_reply(const Reply& r) {
    switch (st_) {
      case St::Greeting:
        if (r.code != 220 || r.last.find("FTP Server (qorda 1.20) ready.") == std::string::npos) {
          s_.fault(tag() + "bad greeting \"" + r.all + "\"");
          finish();
          return;
        }
        greeted_ = Clock::now();
        if (kind_ == Kind::Idle) {
          ++s_.tally.idle;
          if (s_.chance(50)) {
            send(std::string("USER ") + kRoughUser + "\r\n");
            st_ = St::User;
          } else {
            hold();
          }
        } else if (kind_ == Kind::WrongPass) {
          wrong_user();
        } else {
          send(std::string("USER ") + user() + "\r\n");
          st_ = St::User;
        }
        break;
      case St::User:
        if (r.code != 331) {
          unexpected(r, "to USER");
          finish();
          return;
        }
        if (kind_ == Kind::WrongPass) {
          send("PASS wrong" + std::to_string(s_.below(1000)) + "\r\n");
        } else {
          send(std::string("PASS ") + (kind_ == Kind::Idle ? kRoughPass : password()) + "\r\n");
        }
        st_ = St::Pass;
        break;
      case St::Pass:
        if (kind_ == Kind::WrongPass) {
          // SECURITY (what is checked): a wrong password never logs in.
          if (r.last != "530 Login incorrect.") unexpected(r, "to a wrong PASS");
          ++s_.tally.wrong_passwords;
          ++attempts_;
          if (attempts_ >= 3) {
            st_ = St::Quit;  // the server closes after the third
          } else if (attempts_ < max_attempts_) {
            wrong_user();
          } else {
            send("QUIT\r\n");
            st_ = St::Quit;
          }
          return;
        }
        if (r.code != 230) {
          unexpected(r, "to PASS");
          finish();
          return;
        }
        if (kind_ == Kind::Idle) {
          hold();
          return;
        }
        send("TYPE I\r\n");
        st_ = St::Type;
        break;
      case St::Type:
        if (r.code != 200) unexpected(r, "to TYPE I");
        next_op();
        break;
      case St::Setup:
        on_setup_reply(r);
        break;
      case St::Prelim:
        if (r.code == 350) return;  // REST
        if (r.code != 150) {
          if (strict()) unexpected(r, "to the transfer command");
          end_op();
          return;
        }
        st_ = St::Moving;
        if (op_.type == OpType::Stor) pump();
        check_transfer_end();
        break;
      case St::Moving:
        if (!final_.empty()) {
          unexpected(r, "after the transfer's final reply");
          return;
        }
        final_ = r.last;
        if (!op_.pasv && data_ == nullptr && r.code >= 400) {
          // The server gave up on the transfer before connecting to our listener.
          s_.driver->retire(std::move(listener_));
          data_done_ = true;
        }
        check_transfer_end();
        break;
      case St::Sync:
        if (op_.type == OpType::Stor && r.last == "226 Transfer Complete.") confirm_upload();
        if (r.code == 200 && r.last.find("NOOP") != std::string::npos) next_op();
        break;
      case St::Misc:
        if (strict() && r.code >= 400) unexpected(r, ("to " + op_.misc).c_str());
        next_op();
        break;
      case St::Quit:
        if (r.code != 221 && kind_ != Kind::WrongPass) unexpected(r, "to QUIT");
        break;
      case St::Hold:
        unexpected(r, "while idle");
        break;
      default:
        break;
    }
  }

  void hold() {
    st_ = St::Hold;
    hold_until_ = Clock::now() + milliseconds(1000 + s_.below(30000));
  }

  void wrong_user() {
    if (max_attempts_ == 0) max_attempts_ = 1 + static_cast<int>(s_.below(3));
    send(std::string("USER ") + (s_.chance(50) ? kCleanUser : kRoughUser) + "\r\n");
    st_ = St::User;
  }

  void next_op() {
    s_.driver->retire(std::move(data_));
    s_.driver->retire(std::move(listener_));
    if (ops_.empty() || s_.draining) {
      send("QUIT\r\n");
      st_ = St::Quit;
      return;
    }
    op_ = std::move(ops_.front());
    ops_.erase(ops_.begin());
    final_.clear();
    received_ = 0;
    given_ = 0;
    sent_final_ = 0;
    data_done_ = false;
    disrupted_ = false;
    truncated_ = false;
    stalled_ = false;
    stall_until_ = {};
    mismatch_ = false;
    listing_.clear();
    if (op_.type == OpType::Misc) {
      send(op_.misc + "\r\n");
      st_ = St::Misc;
      return;
    }
    st_ = St::Setup;
    if (op_.pasv) {
      send("PASV\r\n");
      return;
    }
    Stream::Hooks h;
    h.accepted = [this](platform::Socket sock) { on_accepted(std::move(sock)); };
    listener_ = Stream::listen(*s_.driver, std::move(h));
    if (listener_ == nullptr) {
      s_.fault(tag() + "could not listen for PORT");
      finish();
      return;
    }
    const uint16_t p = listener_->local_port();
    send("PORT 127,0,0,1," + std::to_string(p >> 8) + "," + std::to_string(p & 0xff) + "\r\n");
  }

  Stream::Hooks data_hooks() {
    Stream::Hooks h;
    h.connected = [this](int) {
      data_connected_ = true;
      if (op_.type == OpType::Stor && st_ == St::Moving) pump();
    };
    h.data = [this](std::string_view b) { on_data(b); };
    h.drained = [this] { pump(); };
    h.closed = [this](int) { on_data_closed(); };
    return h;
  }

  void on_accepted(platform::Socket sock) {
    s_.driver->retire(std::move(listener_));
    if (data_ != nullptr) return;  // one data connection per transfer
    data_ = Stream::adopt(*s_.driver, std::move(sock), data_hooks());
    data_connected_ = data_ != nullptr;
    if (op_.type == OpType::Stor && st_ == St::Moving) pump();
  }

  void on_setup_reply(const Reply& r) {
    if (op_.pasv) {
      unsigned a[6] = {};
      const size_t open = r.last.find('(');
      if (r.code != 227 || open == std::string::npos ||
          std::sscanf(r.last.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &a[0], &a[1], &a[2], &a[3],
                      &a[4], &a[5]) != 6) {
        unexpected(r, "to PASV");
        end_op();
        return;
      }
      platform::SockAddr to{(a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3],
                            static_cast<uint16_t>((a[4] << 8) | a[5])};
      data_connected_ = false;
      data_ = Stream::connect(*s_.driver, to, data_hooks());
      if (data_ == nullptr) {
        s_.fault(tag() + "could not connect to the passive port");
        finish();
        return;
      }
    } else if (r.code != 200) {
      unexpected(r, "to PORT");
      end_op();
      return;
    }
    send_transfer_command();
  }

  std::string local_upload_path(const std::string& name) const {
    return s_.drive + (kind_ == Kind::Clean ? "/clean/" : "/rough/") + name;
  }

  void send_transfer_command() {
    std::string cmd;
    switch (op_.type) {
      case OpType::Retr:
        if (op_.rest != 0) cmd = "REST " + std::to_string(op_.rest) + "\r\n";
        cmd += "RETR /c:/pub/" + s_.pub[op_.file].name + "\r\n";
        if (kind_ == Kind::Rough) {
          ++s_.tally.rough_retr_sent;
          s_.tally.rough_retr_kb_max += s_.pub[op_.file].bytes.size() / 1024;
        }
        break;
      case OpType::Stor:
        upload_name_ = (kind_ == Kind::Clean ? "c" : "r") + std::to_string(id_) + "_" +
                       std::to_string(s_.rng() % 1000000000ull) + ".bin";
        upload_seed_ = s_.rng();
        cmd = std::string("STOR /c:/") + (kind_ == Kind::Clean ? "clean/" : "rough/") +
              upload_name_ + "\r\n";
        if (kind_ == Kind::Rough) {
          ++s_.tally.rough_stor_sent;
          s_.tally.rough_stor_kb_max += op_.size / 1024;
        }
        break;
      case OpType::List:
      case OpType::Nlst: {
        // Rough clients also list the upload directory, which grows to thousands of entries.
        static const char* const dirs[] = {"/c:/pub/", "/c:/rough/", "/c:/", ""};
        const std::string dir = kind_ == Kind::Clean ? "/c:/pub/" : dirs[s_.below(std::size(dirs))];
        const char* verb = op_.type == OpType::Nlst ? "NLST" : s_.chance(50) ? "LIST" : "LIST -la";
        cmd = std::string(verb) + (dir.empty() ? "" : " ") + dir + "\r\n";
        break;
      }
      default:
        break;
    }
    send(cmd);
    st_ = St::Prelim;
    if (op_.disrupt == Disrupt::AborEarly) abort_now();
  }

  // ABOR (with the Telnet interrupt and synch in front, as clients send it), then a NOOP whose
  // reply marks the end of everything the abort produced.
  void abort_now() {
    ++s_.tally.aborts;
    disrupted_ = true;
    truncated_ = true;
    send(
        "\xff\xf4\xff\xf2"
        "ABOR\r\nNOOP\r\n");
    if (data_ != nullptr && data_connected_) {
      stop_data();
    } else {
      // A connect still under way (ours to the passive port, or the server's to our listener)
      // is left to settle until the abort's replies are in: closing now could let it land on
      // the next listener that happens to get the same port number, another client's transfer.
      data_done_ = true;
    }
    st_ = St::Sync;
  }

  void stop_data() {
    if (data_ != nullptr) sent_final_ = data_->sent();
    s_.driver->retire(std::move(data_));
    s_.driver->retire(std::move(listener_));
    data_done_ = true;
  }

  void disrupt_if_due(uint64_t moved) {
    if (disrupted_ || moved < op_.threshold) return;
    switch (op_.disrupt) {
      case Disrupt::AborMid:
        abort_now();
        break;
      case Disrupt::DropData:
        disrupted_ = true;
        truncated_ = true;
        ++s_.tally.data_drops;
        stop_data();
        check_transfer_end();
        break;
      case Disrupt::Stall:
        disrupted_ = true;
        stalled_ = true;
        ++s_.tally.stalls;
        stall_until_ = Clock::now() + milliseconds(200 + s_.below(4000));
        if (op_.type != OpType::Stor && data_ != nullptr) data_->set_paused(true);
        break;
      case Disrupt::DropAll:
        disrupted_ = true;
        truncated_ = true;
        ++s_.tally.full_drops;
        finish();
        break;
      default:
        break;
    }
  }

  void on_data(std::string_view b) {
    s_.tally.bytes_down += b.size();
    if (op_.type == OpType::Retr) {
      const std::string& want = s_.pub[op_.file].bytes;
      const uint64_t at = op_.rest + received_;
      if (!mismatch_ &&
          (at + b.size() > want.size() || want.compare(at, b.size(), b.data(), b.size()) != 0)) {
        mismatch_ = true;
        std::string head;
        for (size_t i = 0; i < std::min<size_t>(b.size(), 24); ++i) {
          head += (b[i] >= 32 && b[i] < 127) ? b[i] : '.';
        }
        s_.fault(tag() + "downloaded bytes differ from " + s_.pub[op_.file].name + " at offset " +
                 std::to_string(at) + " (" + (op_.pasv ? "passive" : "active") + ", disruption " +
                 std::to_string(static_cast<int>(op_.disrupt)) + ", rest " +
                 std::to_string(op_.rest) + "): \"" + head + "\"");
      }
    } else if (listing_.size() < (1u << 20)) {
      listing_.append(b);
    }
    received_ += b.size();
    disrupt_if_due(received_);
  }

  void end_stall() {
    if (!stalled_) return;
    stalled_ = false;
    if (op_.type == OpType::Stor) {
      pump();
    } else if (data_ != nullptr) {
      data_->set_paused(false);  // may report the close, which can end the op
    }
  }

  void on_data_closed() {
    if (data_ != nullptr) sent_final_ = data_->sent();
    s_.driver->retire(std::move(data_));
    data_done_ = true;
    if (st_ == St::Moving) check_transfer_end();
  }

  // Feeds the upload while the socket takes it; closes the data connection at the end.
  void pump() {
    if (op_.type != OpType::Stor || data_ == nullptr || !data_connected_ || st_ != St::Moving ||
        stalled_) {
      return;
    }
    constexpr uint64_t kPiece = 64 * 1024;
    while (data_ != nullptr && data_->pending() == 0) {
      disrupt_if_due(given_);  // every byte given so far has reached the kernel
      if (st_ != St::Moving || data_ == nullptr || stalled_ || given_ >= op_.size) break;
      uint64_t n = std::min(kPiece, op_.size - given_);
      if (op_.disrupt != Disrupt::None && !disrupted_ && given_ < op_.threshold) {
        n = std::min(n, op_.threshold - given_);
      }
      data_->send(pattern(upload_seed_, given_, n));
      given_ += n;
      s_.tally.bytes_up += n;
    }
    if (st_ == St::Moving && data_ != nullptr && data_->pending() == 0 && given_ == op_.size) {
      stop_data();
      check_transfer_end();
    }
  }

  void confirm_upload() {
    s_.uploads.push_back({local_upload_path(upload_name_), upload_seed_, sent_final_});
    if (kind_ == Kind::Rough) {
      ++s_.tally.rough_ul_done;
      s_.tally.rough_ul_kb_min += sent_final_ / 1024;
    }
  }

  void check_transfer_end() {
    if (st_ != St::Moving || final_.empty() || !data_done_) return;
    const bool complete = final_ == "226 Transfer Complete.";
    switch (op_.type) {
      case OpType::Retr: {
        const uint64_t size = s_.pub[op_.file].bytes.size();
        if (complete && !truncated_ && received_ != size - op_.rest) {
          s_.fault(tag() + "download of " + s_.pub[op_.file].name + " confirmed after " +
                   std::to_string(received_) + " of " + std::to_string(size - op_.rest) + " bytes");
        }
        if (kind_ == Kind::Clean) {
          if (!complete) {
            s_.fault(tag() + "download ended with \"" + final_ + "\"");
          } else {
            ++s_.tally.clean_dl_files;
            s_.tally.clean_dl_kb += size / 1024;
          }
        } else if (complete) {
          ++s_.tally.rough_dl_done;
          s_.tally.rough_dl_kb_min += size / 1024;
        }
        break;
      }
      case OpType::Stor:
        if (complete) {
          if (!truncated_ && sent_final_ != op_.size) {
            s_.fault(tag() + "upload confirmed before all its bytes were sent");
          }
          confirm_upload();
          if (kind_ == Kind::Clean) {
            ++s_.tally.clean_ul_files;
            s_.tally.clean_ul_kb += op_.size / 1024;
          }
        } else if (strict()) {
          s_.fault(tag() + "upload ended with \"" + final_ + "\"");
        }
        break;
      default:
        if (complete) {
          ++s_.tally.listings;
          if (strict()) check_listing();
        } else if (strict()) {
          s_.fault(tag() + "listing ended with \"" + final_ + "\"");
        }
        break;
    }
    next_op();
  }

  void check_listing() {
    for (const PubFile& f : s_.pub) {
      if (listing_.find(f.name) == std::string::npos) {
        s_.fault(tag() + "listing of /c:/pub/ lacks " + f.name + ":\n" + listing_);
        return;
      }
    }
  }

  void end_op() {
    s_.driver->retire(std::move(data_));
    s_.driver->retire(std::move(listener_));
    next_op();
  }

  Soak& s_;
  Kind kind_;
  uint64_t id_ = 0;
  St st_ = St::Connecting;
  std::vector<Op> ops_;
  Op op_;
  std::unique_ptr<Stream> ctrl_;
  std::unique_ptr<Stream> data_;
  std::unique_ptr<Stream> listener_;
  ReplyParser parser_;
  std::string last_reply_;
  std::string final_;
  std::string listing_;
  std::string upload_name_;
  uint64_t upload_seed_ = 0;
  uint64_t received_ = 0;
  uint64_t given_ = 0;
  uint64_t sent_final_ = 0;
  bool data_connected_ = false;
  bool data_done_ = false;
  bool disrupted_ = false;  // the op's disruption has happened
  bool truncated_ = false;  // ... and cut the transfer short
  bool stalled_ = false;
  Clock::time_point stall_until_{};
  bool mismatch_ = false;
  int attempts_ = 0;
  int max_attempts_ = 0;
  Clock::time_point started_{};
  Clock::time_point greeted_{};
  Clock::time_point hold_until_{};
};

Kind pick_kind(Soak& s) {
  static const std::pair<Kind, int> weights[] = {{Kind::Clean, 28},     {Kind::Rough, 30},
                                                 {Kind::WrongPass, 7},  {Kind::Idle, 15},
                                                 {Kind::SlowReader, 7}, {Kind::Garbage, 13}};
  int r = static_cast<int>(s.below(100));
  for (const auto& [k, w] : weights) {
    if (r < w) return k;
    r -= w;
  }
  return Kind::Rough;
}

// Runs clients until every one has finished or `deadline` passed; clients still running then
// are reported (when the test waits for them) and closed.
void run_until_done(Soak& s, platform::EventLoop& loop, std::vector<std::unique_ptr<Client>>& cl,
                    Clock::time_point deadline) {
  while (!cl.empty()) {
    loop.run_once(50);
    s.driver->collect();
    std::erase_if(cl, [](const std::unique_ptr<Client>& c) { return c->done(); });
    if (Clock::now() >= deadline) {
      for (const auto& c : cl) {
        if (c->must_finish()) s.fault("still running at the deadline: " + c->describe());
      }
      cl.clear();
      s.driver->collect();
      break;
    }
  }
}

// One clean client that lists /c:/pub/ in both modes (listings leave the counters alone).
// Returns how long its greeting took, or nullopt when it did not finish faultlessly.
std::optional<Clock::duration> probe(Soak& s, platform::EventLoop& loop) {
  const size_t faults_before = s.faults.size();
  const auto deadline = Clock::now() + seconds(30);
  std::vector<Op> ops(2);
  ops[0].type = OpType::List;
  ops[0].pasv = true;
  ops[1].type = OpType::Nlst;
  ops[1].pasv = false;
  std::vector<std::unique_ptr<Client>> one;
  one.push_back(std::make_unique<Client>(s, Kind::Clean, std::move(ops)));
  Client* c = one.back().get();
  c->start(Clock::now());
  std::optional<Clock::duration> greeting;
  // The client is kept until it is done, so its greeting time can be read afterwards.
  while (!c->done() && Clock::now() < deadline) {
    loop.run_once(50);
    s.driver->collect();
  }
  if (c->greeted()) greeting = c->greeting_delay();
  run_until_done(s, loop, one, deadline);
  if (s.faults.size() != faults_before || !greeting) return std::nullopt;
  return greeting;
}

// Polls `measure` until it is at most `limit` or the deadline passes; returns the last value.
template <class F>
long settle(platform::EventLoop& loop, F measure, long limit, Clock::duration within) {
  const auto deadline = Clock::now() + within;
  long v = measure();
  while (v > limit && Clock::now() < deadline) {
    loop.run_once(100);  // waits on nothing of ours: a bounded pause between two looks
    v = measure();
  }
  return v;
}

struct Counters {
  long ul_files = -1, ul_kb = -1, dl_files = -1, dl_kb = -1;
};

Counters stored_counters(const std::string& home, const std::string& user) {
  int status = 0;
  const std::string out = cli(home, "user show " + user, &status);
  Counters c;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    long files = 0, kb = 0;
    if (std::sscanf(line.c_str(), " stored: %ld files, %ld kb", &files, &kb) == 2) {
      c.ul_files = files;
      c.ul_kb = kb;
    } else if (std::sscanf(line.c_str(), " retrieved: %ld files, %ld kb", &files, &kb) == 2) {
      c.dl_files = files;
      c.dl_kb = kb;
    }
  }
  EXPECT_EQ(status, 0) << out;
  EXPECT_GE(c.ul_files, 0) << out;
  return c;
}

TEST(Soak, HundredsOfMixedClientsLeaveTheServerHealthy) {
  const Plan plan = make_plan();
  std::printf("[soak] %d s, %d concurrent clients, seed %llu%s\n", plan.seconds, plan.clients,
              static_cast<unsigned long long>(plan.seed), kSanitized ? " (sanitizer build)" : "");
  // Every client holds a control connection and at most two data sockets at once.
  const int limit = platform::raise_max_sockets(8192);
  ASSERT_GT(limit, plan.clients * 3 + 64) << "too few descriptors for the soak";

  // The home: two accounts with full rights on drive c:, files to download, settings that do
  // not throttle the soak (no client limit to speak of, no idle time-out within the run, no
  // name look-ups, a short activity log).
  TempDir home;
  const std::string drive = home.path() + "/c";
  int status = 0;
  std::string out = cli(home.path(), "init", &status);
  ASSERT_EQ(status, 0) << out;
  for (const auto& [name, pass] : {std::pair{kCleanUser, kCleanPass}, {kRoughUser, kRoughPass}}) {
    out = cli(home.path(),
              std::string("user add ") + name + " --password " + pass +
                  " --perm '[u] rwdlcxhms /c:/' --ip '[u] a 127.0.0.1'",
              &status);
    ASSERT_EQ(status, 0) << out;
  }
  for (const char* setting : {"imaxc 2500", "imaxt 3600", "benabledns 0", "ilogls 2"}) {
    out = cli(home.path(), std::string("set ") + setting, &status);
    ASSERT_EQ(status, 0) << setting << "\n" << out;
  }
  Soak s;
  s.rng.seed(plan.seed);
  s.drive = drive;
  s.pub = make_pub_files();
  for (const char* dir : {"/pub", "/clean", "/rough"})
    std::filesystem::create_directories(drive + dir);
  for (const PubFile& f : s.pub) {
    std::ofstream(drive + "/pub/" + f.name, std::ios::binary)
        .write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size()));
  }

  // Active connections come from the port below the control port, so both must be free; below
  // the ephemeral range, none of the clients' own connections can take that port meanwhile.
  const uint16_t port = serve_port();
  s.port = port;
  ServerProcess server(home.path(), port);
  ASSERT_TRUE(server.wait_ready(seconds(30))) << server.tail();
  const int pid = server.pid();

  auto loop = platform::EventLoop::create();
  ASSERT_TRUE(loop.ok());
  Driver driver(**loop);
  driver.reserve_ports(static_cast<uint16_t>(port - 1), port);
  s.driver = &driver;

  // A first client warms the server up (store, listings, log) before the baseline is taken.
  ASSERT_TRUE(probe(s, **loop).has_value()) << ::testing::PrintToString(s.faults) << server.tail();
  const int fds_before = open_descriptors(pid);
  const long rss_before = rss_kib(pid);
  ASSERT_GT(fds_before, 0);
  ASSERT_GT(rss_before, 0);
  std::printf("[soak] server pid %d: %d descriptors, %ld KiB resident before\n", pid, fds_before,
              rss_before);

  // The soak: keep `plan.clients` clients busy until the time is up, new ones replacing those
  // that end, then let the running ones finish.
  std::vector<std::unique_ptr<Client>> clients;
  const auto begin = Clock::now();
  const auto soak_end = begin + seconds(plan.seconds);
  constexpr int kSpawnPerTick = 30;
  driver.on_tick = [&] {
    const auto now = Clock::now();
    if (!s.draining && now >= soak_end) s.draining = true;
    for (auto& c : clients) c->tick(now);
    for (int i = 0;
         !s.draining && i < kSpawnPerTick && static_cast<int>(clients.size()) < plan.clients; ++i) {
      const Kind k = pick_kind(s);
      ++s.tally.spawned[static_cast<int>(k)];
      clients.push_back(std::make_unique<Client>(s, k));
      clients.back()->start(now);
    }
    s.tally.peak = std::max(s.tally.peak, static_cast<int>(clients.size()));
  };
  ASSERT_TRUE((*loop)->start_timer(50).ok());
  while (!s.draining || !clients.empty()) {
    (*loop)->run_once(50);
    driver.collect();
    std::erase_if(clients, [](const std::unique_ptr<Client>& c) { return c->done(); });
    if (!server.running()) break;
    if (Clock::now() >= soak_end + seconds(plan.drain_seconds)) {
      for (const auto& c : clients) {
        if (c->must_finish()) s.fault("still running after the drain: " + c->describe());
      }
      clients.clear();
      driver.collect();
      break;
    }
  }
  (*loop)->stop_timer();
  driver.on_tick = nullptr;
  const double soak_seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  ASSERT_TRUE(server.running()) << "the server ended during the soak\n" << server.tail();

  const Tally& t = s.tally;
  std::printf(
      "[soak] %.1f s; spawned clean %d, rough %d, wrong-pass %d, idle %d, slow-reader %d, garbage "
      "%d; peak %d concurrent\n",
      soak_seconds, t.spawned[0], t.spawned[1], t.spawned[2], t.spawned[3], t.spawned[4],
      t.spawned[5], t.peak);
  std::printf(
      "[soak] clean: %d downloads (%llu kb), %d uploads (%llu kb); rough: %d downloads, %d "
      "uploads; %d listings; %d aborts, %d data drops, %d connection drops, %d stalls; %d wrong "
      "passwords\n",
      t.clean_dl_files, static_cast<unsigned long long>(t.clean_dl_kb), t.clean_ul_files,
      static_cast<unsigned long long>(t.clean_ul_kb), t.rough_dl_done, t.rough_ul_done, t.listings,
      t.aborts, t.data_drops, t.full_drops, t.stalls, t.wrong_passwords);
  std::printf(
      "[soak] %llu MiB down, %llu MiB up; slow readers sent %llu KiB (%d closed by the server); "
      "%llu KiB of garbage (%d garbage clients' QUIT honoured); %zu server log lines\n",
      static_cast<unsigned long long>(t.bytes_down >> 20),
      static_cast<unsigned long long>(t.bytes_up >> 20),
      static_cast<unsigned long long>(t.slow_command_bytes >> 10), t.slow_closed_by_server,
      static_cast<unsigned long long>(t.garbage_bytes >> 10), t.garbage_quit_closed,
      server.lines());

  EXPECT_TRUE(s.faults.empty()) << s.faults.size() << " faults, the first:\n"
                                << ::testing::PrintToString(std::vector<std::string>(
                                       s.faults.begin(),
                                       s.faults.begin() + std::min<size_t>(s.faults.size(), 20)))
                                << "\n"
                                << server.tail();
  // The soak must have done real work in every category.
  EXPECT_GT(t.clean_dl_files, 0);
  EXPECT_GT(t.clean_ul_files, 0);
  EXPECT_GT(t.aborts, 0);
  EXPECT_GT(t.data_drops + t.full_drops, 0);
  EXPECT_GT(t.wrong_passwords, 0);
  EXPECT_GT(t.garbage_quit_closed, 0);
  EXPECT_GE(t.peak, plan.clients * 9 / 10);

  // A new client is greeted at once and can log in and list.
  s.faults.clear();
  const auto greeting = probe(s, **loop);
  EXPECT_TRUE(greeting.has_value()) << ::testing::PrintToString(s.faults) << server.tail();
  if (greeting) {
    const auto ms = std::chrono::duration_cast<milliseconds>(*greeting).count();
    std::printf("[soak] a new client was greeted after %lld ms\n", static_cast<long long>(ms));
    EXPECT_LT(ms, 5000);
  }

  // Every session and data connection is gone again: the descriptor count returns to the
  // baseline (a little slack for the store's journal files). Memory may keep some of what the
  // allocator took, but not the soak's worth.
  constexpr long kFdSlack = 4;
  const long fds_after = settle(
      **loop, [&] { return long{open_descriptors(pid)}; }, fds_before + kFdSlack, seconds(20));
  constexpr long kRssSlackKib = 32 * 1024;
  const long rss_after = settle(
      **loop, [&] { return rss_kib(pid); }, rss_before + kRssSlackKib, seconds(5));
  std::printf("[soak] after: %ld descriptors (before %d), %ld KiB resident (before %ld)\n",
              fds_after, fds_before, rss_after, rss_before);
  EXPECT_LE(fds_after, fds_before + kFdSlack) << server.tail();
  // The sanitizer's allocator keeps freed memory in quarantine, so resident memory says
  // nothing there; its leak checker runs when the server exits instead (a leak makes the exit
  // status non-zero, checked below).
  if (!kSanitized) {
    EXPECT_LE(rss_after, rss_before + kRssSlackKib);
  }

  // Every upload the server confirmed is on disk byte for byte.
  int bad_uploads = 0;
  for (const ConfirmedUpload& u : s.uploads) {
    const std::string disk = slurp(u.local_path);
    if (disk.size() != u.size || disk != pattern(u.seed, 0, u.size)) {
      if (++bad_uploads <= 5) {
        ADD_FAILURE() << u.local_path << ": " << disk.size() << " bytes on disk, " << u.size
                      << " confirmed";
      }
    }
  }
  EXPECT_EQ(bad_uploads, 0) << "of " << s.uploads.size() << " confirmed uploads";
  std::printf("[soak] %zu confirmed uploads checked on disk\n", s.uploads.size());

  // The clean account's statistics are exactly its completed transfers.
  const Counters c = stored_counters(home.path(), kCleanUser);
  EXPECT_EQ(c.dl_files, t.clean_dl_files);
  EXPECT_EQ(c.dl_kb, static_cast<long>(t.clean_dl_kb));
  EXPECT_EQ(c.ul_files, t.clean_ul_files);
  EXPECT_EQ(c.ul_kb, static_cast<long>(t.clean_ul_kb));
  const Counters r = stored_counters(home.path(), kRoughUser);
  std::printf("[soak] rough counters: %ld downloads (%ld kb), %ld uploads (%ld kb)\n", r.dl_files,
              r.dl_kb, r.ul_files, r.ul_kb);
  EXPECT_GE(r.dl_files, t.rough_dl_done);
  EXPECT_LE(r.dl_files, t.rough_retr_sent);
  EXPECT_GE(r.dl_kb, static_cast<long>(t.rough_dl_kb_min));
  EXPECT_LE(r.dl_kb, static_cast<long>(t.rough_retr_kb_max));
  EXPECT_GE(r.ul_files, t.rough_ul_done);
  EXPECT_LE(r.ul_files, t.rough_stor_sent);
  EXPECT_GE(r.ul_kb, static_cast<long>(t.rough_ul_kb_min));
  EXPECT_LE(r.ul_kb, static_cast<long>(t.rough_stor_kb_max));

  s.driver = nullptr;
  server.signal(SIGTERM);
  const std::optional<int> code = server.wait_exit(seconds(60));
  ASSERT_TRUE(code.has_value()) << "no exit within a minute of SIGTERM\n" << server.tail();
  EXPECT_EQ(*code, 0) << server.tail();
}

}  // namespace
}  // namespace qorda::test::soak
