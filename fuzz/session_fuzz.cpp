// Feeds arbitrary bytes to a real control session: line assembly, Telnet handling, the command
// table and every handler behind it, with a password user and an anonymous guest to log in as and
// a small tree to list, fetch, store and rename in. Each input is one connection to the engine
// on a loopback port, its bytes written in a few chunks (the split points come from the input);
// the loop is pumped until the session has consumed them, the replies are read and thrown away,
// and the connection closes. When a reply announces a passive port, the harness connects to it
// so that listings and transfers really run.
//
// Checked after every input: the session and data-connection tables are empty again, the
// descriptor count does not creep up, nothing outside the writable directories changed, and no
// activity-log line carries a raw control character (client text must be escaped before it
// reaches a log). SESSION_FUZZ_ECHO=1 shows the replies.
//
// PORT is accepted only when the harness could move itself into a network namespace of its own
// with nothing but loopback up, and only for the client's own address (third-party transfers
// are off). Otherwise PORT is switched off, and the one active connection left, the default one
// to the client's own address and port, finds nothing listening. Either way a fuzz run never
// connects anywhere but to itself. In the namespace the server listens on a fixed port and the
// harness accepts active data connections on another, so that inputs can name both.
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/netmodule.h"
#include "engine/observer.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/volume.h"
#include "store/links.h"
#include "store/password.h"
#include "store/records.h"
#include "store/settings.h"

namespace fs = std::filesystem;
using namespace qorda;

namespace {

constexpr int kMaxPumps = 3000;        // loop turns per chunk: a stuck session ends the input
constexpr int kMaxDataPeers = 4;       // passive connections the harness makes per input
constexpr int kMaxChunks = 4;          // the input is written in 1..kMaxChunks pieces
constexpr size_t kMaxLineChunks = 64;  // or line by line, up to this many lines
constexpr uint32_t kStartTick = 100000;
constexpr std::time_t kStartEpoch = 1700000000;
constexpr uint32_t kChunkGapMs = 300;          // clock advance between chunks
constexpr uint32_t kIdleJumpMs = 1000 * 1000;  // beyond the default idle limit (900 s)
constexpr int kFdSlack = 8;  // descriptors the store may open lazily after the first run
constexpr uint16_t kPrivateControlPort = 2121;  // PORT 127,0,0,1,8,73 connects to the server
constexpr uint16_t kPrivateDataPort = 5000;     // PORT 127,0,0,1,19,136
constexpr const char* kUser = "alice";
constexpr const char* kPassword = "secret";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "session fuzz: %s\n", what);
  std::abort();
}

// Every activity line must come out escaped: a raw CR, LF or other control character from a
// client would forge log lines or drive the administrator's terminal.
class CheckingObserver final : public engine::Observer {
 public:
  void screen_line(std::string_view line) override {
    for (char c : line) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) {
        std::fprintf(stderr, "unescaped log line: %.*s\n", static_cast<int>(line.size()),
                     line.data());
        std::abort();
      }
    }
  }
  void client_count(int, const std::string&) override {}
  void client_line(uint32_t, const std::string& line) override { screen_line(line); }
  void client_line_removed(uint32_t) override {}
  void switch_position(bool) override {}
  void examine_line(uint32_t, std::string_view) override {}
  void examine_caption(uint32_t, std::string_view) override {}
};

// Moves the process into a network namespace of its own and brings its loopback up. False
// (nothing changed, or no usable network) when that is not allowed here.
bool enter_private_network() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("no socket in the new network namespace");
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  }
  ::close(fd);
  if (!ok) fail("cannot bring up loopback in the new network namespace");
  return true;
}

int open_fds() {
  int n = 0;
  std::error_code ec;
  for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

uint16_t free_port() {
  auto s = platform::Socket::tcp(nullptr);
  if (!s.ok() || !s->bind(platform::SockAddr::loopback(0)).ok()) fail("cannot bind a probe");
  auto a = s->local_addr();
  return a.ok() ? a->port : 0;
}

bool port_free(uint16_t port) {
  auto s = platform::Socket::tcp(nullptr);
  return port > 1024 && s.ok() && s->bind(platform::SockAddr::loopback(port)).ok();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
  if (!f.good()) fail("cannot write a sample file");
}

store::UserRecord password_user() {
  store::UserRecord u;
  u.name = kUser;
  u.szpass = store::encode_password(kPassword);
  // Home readable and listable; "up" below it takes every action; /pub/ (a link target) can
  // be read.
  u.szfp =
      "[u] r--l--hms /c:/home/alice/\n[u] rwdlcx-ms /c:/home/alice/up/\n"
      "[u] r--l---ms /c:/pub/";
  return u;
}

store::UserRecord guest_user() {
  store::UserRecord u;
  u.name = "anonymous";
  u.bguest = true;
  u.szfp = "[u] ---l--hm- /c:/\n[u] r--l---ms /c:/pub/\n[u] -w------- /c:/incoming/";
  return u;
}

struct World {
  std::string base;  // the temporary directory; the home is one level down, so that a path
                     // escaping the home still lands where the checks look
  std::string home;
  platform::ManualClock clock;
  CheckingObserver observer;
  // The world lives for the whole fuzzing run, so the observer stays installed.
  std::unique_ptr<engine::ObserverInstallation> installed;
  std::unique_ptr<platform::Registry> reg;
  std::unique_ptr<platform::EventLoop> loop;
  std::unique_ptr<engine::NetModule> net;
  uint16_t port = 0;
  platform::Socket data_listener;  // where PORT 127,0,0,1,19,136 connects (private network only)
  int fd_baseline = -1;
  std::string pristine;  // snapshot of the writable directories as reset_writable leaves them
  std::string fixed;     // snapshot of everything else
};

constexpr const char* kWritableDirs[] = {"/c/home/alice/up", "/c/incoming"};

// Every entry below `root` with its kind, size and modification time, except the directories
// (and their contents) and files whose paths start with one of `skip`.
std::string tree_snapshot(const std::string& root, const std::vector<std::string>& skip) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code sec;
    std::string e = it->path().string();
    if (std::any_of(skip.begin(), skip.end(),
                    [&](const std::string& p) { return e.starts_with(p); })) {
      if (it->is_directory(sec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory(sec)) {
      e += "/";
    } else {
      e += " " + std::to_string(it->file_size(sec)) + " " +
           std::to_string(it->last_write_time(sec).time_since_epoch().count());
    }
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (const std::string& e : entries) out += e + "\n";
  return out;
}

// What the writable directories hold.
std::string snapshot(const World& w) {
  std::string out;
  for (const char* d : kWritableDirs) out += tree_snapshot(w.home + d, {});
  return out;
}

// Everything else below the temporary directory: no session may change it.
std::string fixed_snapshot(const World& w) {
  std::vector<std::string> skip = {w.home + "/qorda.db"};
  for (const char* d : kWritableDirs) skip.push_back(w.home + d);
  return tree_snapshot(w.base, skip);
}

// The directories a session may change are put back as they were before every input that
// changed them, so that no input sees what an earlier one stored, renamed or deleted.
void reset_writable(World& w) {
  if (!w.pristine.empty() && snapshot(w) == w.pristine) return;
  for (const char* d : kWritableDirs) {
    std::error_code ec;
    fs::remove_all(w.home + d, ec);
    fs::create_directories(w.home + d + "/sub", ec);
    if (ec) fail("cannot reset a writable directory");
  }
  write_file(w.home + "/c/home/alice/up/old.txt", "old\n");
  w.pristine = snapshot(w);
}

// SITE PASS may change the stored password; later inputs must still log in with the known one.
void restore_accounts(World& w) {
  store::UserRecord u;
  u.name = kUser;
  const store::UserRecord want = password_user();
  if (store::read_user(*w.reg, u, {.main_fields = true, .counters = false}) &&
      u.szpass == want.szpass)
    return;
  if (!store::write_user(*w.reg, want, {.main_fields = true, .counters = 0}).ok())
    fail("cannot restore the password user");
}

World* make_world() {
  auto* w = new World;
  const bool private_net = enter_private_network();

  // A memory file system where there is one: inputs create and delete files all the time.
  char shm_tmpl[] = "/dev/shm/qorda-session-fuzz-XXXXXX";
  char tmp_tmpl[] = "/tmp/qorda-session-fuzz-XXXXXX";
  const char* made = ::mkdtemp(shm_tmpl);
  if (made == nullptr) made = ::mkdtemp(tmp_tmpl);
  if (made == nullptr) fail("mkdtemp");
  w->base = made;
  w->home = w->base + "/home";
  for (const char* d : {"/c/home/alice", "/c/pub/sub", "/c/incoming"}) {
    fs::create_directories(w->home + d);
  }
  write_file(w->home + "/c/home/alice/notes.txt", "line one\nline two\n");
  write_file(w->home + "/c/home/alice/.message", "Welcome, alice.\n");
  write_file(w->home + "/c/pub/hello.txt", "hello\r\n");
  write_file(w->home + "/c/pub/sub/data.bin", std::string(3000, '\x5a'));
  write_file(w->home + "/c/pub/.message", "Public files.\n");
  reset_writable(*w);

  w->clock.tick = kStartTick;
  w->clock.epoch = kStartEpoch;
  platform::set_clock(&w->clock);

  store::ServerSettings& s = store::settings();
  s = store::ServerSettings{};
  s.szmsg1 = "First banner line\nsecond line";
  s.szmsg2 = "Bye now";
  s.benabledns = 0;
  s.ilogls = 6;  // every level: the logging of client text is fuzzed as well
  s.iloglf = 0;
  s.boverride = 1;
  s.szhostname = "fuzz.host";
  s.ispace = 0;
  // SECURITY: data connections go to the client's own address only, and only inside the
  // private namespace at all: a fuzzed PORT must not reach any other service.
  s.benablethird = 0;
  s.ballowport = private_net ? 1 : 0;
  if (private_net) {
    // Every port of the namespace is free: fixed ones let inputs name them (the dictionary
    // has PORT arguments for both), and the harness takes active connections on one.
    s.iport = kPrivateControlPort;
    auto l = platform::Socket::tcp(nullptr);
    if (!l.ok() || !l->bind(platform::SockAddr::loopback(kPrivateDataPort)).ok() ||
        !l->listen(kMaxDataPeers).ok()) {
      fail("cannot listen for active data connections");
    }
    w->data_listener = std::move(*l);
  } else {
    // The default data connection leaves from port iport - 1, which must be free too.
    s.iport = free_port();
    for (int i = 0; i < 100 && !port_free(static_cast<uint16_t>(s.iport - 1)); ++i) {
      s.iport = free_port();
    }
  }
  w->port = static_cast<uint16_t>(s.iport);

  w->installed = std::make_unique<engine::ObserverInstallation>(w->observer);
  platform::drive_table().clear();
  if (!platform::drive_table().set('c', w->home + "/c").ok()) fail("drive c:");
  auto reg = platform::Registry::open(w->home + "/qorda.db");
  if (!reg.ok()) fail("store");
  w->reg = std::move(reg.value);
  if (!store::create_key_tree(*w->reg).ok()) fail("key tree");
  // The guest's template limits downloads by a ratio counted per session, so that no input
  // inherits another's totals.
  store::TemplateRecord guests;
  guests.name = "guests";
  guests.bratio = true;
  guests.bsession = true;
  guests.bfiles = true;
  guests.iufiles = 1;
  guests.idfiles = 2;
  store::UserRecord guest = guest_user();
  guest.sztemp = store::template_ref(guests.name);
  const store::UserWrite whole{.main_fields = true, .counters = store::kCountAll};
  if (!store::write_template(*w->reg, guests).ok() ||
      !store::write_user(*w->reg, password_user(), whole).ok() ||
      !store::write_user(*w->reg, guest, whole).ok()) {
    fail("accounts");
  }
  // Links of every kind: to a directory, to a file, to the home, a loop and a dangling one.
  const std::pair<const char*, const char*> links[] = {
      {"/c:/home/alice/shared", "/c:/pub/"}, {"/c:/home/alice/hi.txt", "/c:/pub/hello.txt"},
      {"/c:/home/alice/up/home", "~"},       {"/c:/home/alice/loop", "/c:/home/alice/loop"},
      {"/c:/pub/dangling", "/c:/nowhere/"},
  };
  for (const auto& [location, target] : links) {
    store::LinkRecord l;
    l.location = location;
    l.target = target;
    if (!store::write_link(*w->reg, l).ok()) fail("links");
  }
  auto loop = platform::EventLoop::create();
  if (!loop.ok()) fail("event loop");
  w->loop = std::move(loop.value);
  w->net = engine::NetModule::open({w->loop.get(), w->reg.get()});
  if (!w->net->listening()) fail("engine has no listener");
  w->fixed = fixed_snapshot(*w);
  static std::string home_to_remove;
  home_to_remove = w->base;
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(home_to_remove, ec);
  });
  return w;
}

// What the harness does on a data connection: only read, or also send a few bytes and end its
// side (so that uploads complete and a download sees its client hang up), either once the
// server has announced the transfer or at once. Chosen per input.
enum class DataMode { ReadOnly, UploadAfter150, UploadAtOnce };

constexpr std::string_view kUpload = "uploaded by the fuzzer\r\n";

// SESSION_FUZZ_ECHO=1 shows every reply on stderr, for reading what a reproducer does.
const bool kEcho = std::getenv("SESSION_FUZZ_ECHO") != nullptr;

// The client side of one input: the control connection and the data connections it made
// (passive ones it connected, active ones it accepted).
class Client {
 public:
  Client(World& w, DataMode mode) : w_(w), mode_(mode) {
    auto s = platform::Socket::tcp(nullptr);
    if (!s.ok()) fail("client socket");
    ctl_ = std::move(*s);
    if (!ctl_.connect(platform::SockAddr::loopback(w.port)).ok()) fail("connect");
  }

  // Reads whatever arrived on every connection and takes new active data connections. True
  // when something moved.
  bool drain() {
    bool moved = false;
    char buf[65536];
    while (ctl_.valid()) {
      platform::IoResult r = ctl_.recv(buf, sizeof buf);
      if (r.ok() && r.n > 0) {
        moved = true;
        scan_replies(std::string_view(buf, r.n));
        continue;
      }
      if (r.ok() || !(r.would_block() || r.err == ENOTCONN)) ctl_closed_ = true;
      break;
    }
    while (w_.data_listener.valid() && static_cast<int>(data_.size()) < kMaxDataPeers) {
      platform::SockAddr peer;
      auto a = w_.data_listener.accept(&peer);
      if (!a.ok()) break;
      moved = true;
      add_peer(std::move(*a));
    }
    for (Peer& d : data_) {
      if (d.upload_due && d.sock.valid()) {
        d.upload_due = false;
        (void)d.sock.send(kUpload.data(), kUpload.size());
        (void)d.sock.shutdown_send();
        moved = true;
      }
      while (d.sock.valid()) {
        platform::IoResult r = d.sock.recv(buf, sizeof buf);
        if (r.ok() && r.n > 0) {
          moved = true;
          continue;
        }
        if (r.ok() || !(r.would_block() || r.err == ENOTCONN)) d.sock.close();
        break;
      }
    }
    return moved;
  }

  // Writes all bytes (pumping while the server's window is full). False when the server has
  // closed the connection.
  bool send(std::string_view bytes) {
    for (int budget = kMaxPumps; !bytes.empty() && !ctl_closed_ && budget > 0; --budget) {
      platform::IoResult r = ctl_.send(bytes.data(), bytes.size());
      if (r.ok()) {
        bytes.remove_prefix(r.n);
        continue;
      }
      if (!(r.would_block() || r.err == ENOTCONN)) return false;
      w_.loop->run_once(1);
      drain();
    }
    return bytes.empty();
  }

  // Resets every connection (no lingering TIME_WAIT state on the client side) and throws away
  // active connections still waiting in the listener's queue.
  void close() {
    reset(ctl_);
    for (Peer& d : data_) reset(d.sock);
    while (w_.data_listener.valid()) {
      platform::SockAddr peer;
      auto a = w_.data_listener.accept(&peer);
      if (!a.ok()) break;
      reset(*a);
    }
  }

 private:
  struct Peer {
    platform::Socket sock;
    bool upload_due = false;
  };

  static void reset(platform::Socket& s) {
    linger lg{1, 0};
    if (s.valid()) ::setsockopt(s.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    s.close();
  }

  void add_peer(platform::Socket s) {
    data_.push_back(Peer{std::move(s), mode_ == DataMode::UploadAtOnce});
  }

  // Connects to the passive port of every 227 reply; a 150 reply starts the uploads that wait
  // for it.
  void scan_replies(std::string_view bytes) {
    pending_ += bytes;
    size_t lf;
    while ((lf = pending_.find('\n')) != std::string::npos) {
      const std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      if (kEcho) std::fprintf(stderr, "reply: %s\n", line.c_str());
      if (line.rfind("227 ", 0) == 0) connect_passive(line);
      if (line.rfind("150 ", 0) == 0 && mode_ == DataMode::UploadAfter150) {
        for (Peer& d : data_) d.upload_due = d.sock.valid();
      }
    }
    if (pending_.size() > 4096) pending_.clear();
  }

  void connect_passive(const std::string& line) {
    if (static_cast<int>(data_.size()) >= kMaxDataPeers) return;
    const size_t open = line.find('(');
    unsigned f[6];
    if (open == std::string::npos || std::sscanf(line.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &f[0],
                                                 &f[1], &f[2], &f[3], &f[4], &f[5]) != 6) {
      return;
    }
    // Only ever the server's own loopback address.
    if (f[0] != 127 || f[1] != 0 || f[2] != 0 || f[3] != 1 || f[4] > 255 || f[5] > 255) return;
    auto s = platform::Socket::tcp(nullptr);
    if (!s.ok()) return;
    if (s->connect(platform::SockAddr::loopback(static_cast<uint16_t>(f[4] << 8 | f[5]))).ok()) {
      add_peer(std::move(*s));
    }
  }

  World& w_;
  DataMode mode_;
  platform::Socket ctl_;
  std::vector<Peer> data_;
  std::string pending_;
  bool ctl_closed_ = false;
};

// Runs the loop until nothing moves for two turns in a row (bounded).
void pump_until_quiet(World& w, Client& c) {
  int quiet = 0;
  for (int i = 0; i < kMaxPumps && quiet < 2; ++i) {
    const int n = w.loop->run_once(0);
    const bool moved = c.drain();
    quiet = (n == 0 && !moved) ? quiet + 1 : 0;
  }
}

uint32_t input_hash(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h;
}

// Chunk boundaries: for half of the inputs (by their hash) after every LF, as a client that
// waits for each reply sends, up to kMaxLineChunks of them; for the others the hash picks up to
// kMaxChunks - 1 cut points.
std::vector<size_t> cut_points(uint32_t h, const uint8_t* data, size_t size) {
  std::vector<size_t> cuts;
  if (size < 2) return cuts;
  if ((h >> 24) & 1) {
    for (size_t i = 0; i + 1 < size && cuts.size() < kMaxLineChunks; ++i) {
      if (data[i] == '\n') cuts.push_back(i + 1);
    }
    return cuts;
  }
  const int n = static_cast<int>(h % kMaxChunks);
  for (int i = 0; i < n; ++i) {
    h = h * 1103515245u + 12345u;
    cuts.push_back(1 + (h >> 8) % (size - 1));
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  return cuts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* w = make_world();
  reset_writable(*w);
  // Every input starts at the same moment (no session is left that could see time go back).
  w->clock.tick = kStartTick;
  w->clock.epoch = kStartEpoch;
  w->net->timer_tick();

  {
    const uint32_t h = input_hash(data, size);
    Client c(*w, static_cast<DataMode>((h >> 16) % 3));
    pump_until_quiet(*w, c);  // accept and greeting
    if (w->net->client_count() != 1) fail("the connection was not accepted");

    size_t from = 0;
    std::vector<size_t> cuts = cut_points(h, data, size);
    cuts.push_back(size);
    for (size_t to : cuts) {
      const std::string_view chunk(reinterpret_cast<const char*>(data) + from, to - from);
      from = to;
      if (to == size && ((h >> 20) & 7) == 0) {
        // For one input in eight the client stays silent past the idle limit before its last
        // chunk.
        w->clock.tick += kIdleJumpMs;
        w->net->timer_tick();
        pump_until_quiet(*w, c);
      }
      const bool sent = c.send(chunk);
      pump_until_quiet(*w, c);
      // Time passes between chunks; a session that said goodbye is freed at the next tick.
      w->clock.tick += kChunkGapMs;
      w->clock.epoch += 1;
      w->net->timer_tick();
      if (!sent) break;
    }
    c.close();
    // The client is gone. The lines it sent before closing still run, one per turn of the loop,
    // and a failed login's hold runs out; then every session and data connection must be freed.
    for (int i = 0; i < kMaxPumps && w->net->client_count() != 0; ++i) {
      w->loop->run_once(i < 50 ? 1 : 0);
      if (i % 50 == 49) w->clock.tick += kChunkGapMs;
      w->net->timer_tick();
    }
  }

  if (w->net->client_count() != 0 || !w->net->sessions().empty()) fail("a session outlived it");
  if (w->net->data_route_count() != 0) fail("a data connection outlived its session");
  if (fixed_snapshot(*w) != w->fixed) {
    std::fprintf(stderr, "before:\n%safter:\n%s", w->fixed.c_str(), fixed_snapshot(*w).c_str());
    fail("a session changed files outside its writable directories");
  }
  restore_accounts(*w);

  const int fds = open_fds();
  if (w->fd_baseline < 0) w->fd_baseline = fds;
  if (fds > w->fd_baseline + kFdSlack) {
    std::fprintf(stderr, "descriptors: %d, first run %d\n", fds, w->fd_baseline);
    fail("descriptors leak");
  }
  return 0;
}
