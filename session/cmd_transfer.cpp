// PORT, PASV, RETR, STOR, STOU and ABOR; the opening of the file a transfer moves; statistics and
// ratios.
#include "session/cmd_transfer.h"

#include <cctype>
#include <memory>
#include <optional>

#include "log/descriptors.h"
#include "log/log.h"
#include "platform/ascii.h"
#include "platform/volume.h"
#include "session/data_link.h"
#include "session/session.h"
#include "store/records.h"
#include "store/settings.h"
#include "transfer/data_connection.h"
#include "vfs/resolver.h"

namespace qorda::session {

using transfer::DataConnection;
using transfer::Direction;
using transfer::Kind;
using transfer::ListMode;

namespace {

// Is there room for an upload on the drive? At least `ispace` kilobytes must be free.
bool room_on(const Session& s, char letter) {
  platform::Result<uint64_t> free = platform::free_space(letter);
  return free.ok() && *free / 1024 >= s.host().settings().ispace;
}

std::string esc(const std::string& text) {
  return log::escape_for_log(text);
}

// The drive path of a virtual path: the virtual form without its leading "/".
std::string local_of(const std::string& vpath) {
  return vpath.empty() || vpath[0] != '/' ? vpath : vpath.substr(1);
}

const char* type_word(const Session& s) {
  return s.type == TransferType::Image ? "BINARY" : "ASCII";
}

// The active connection is made when the transfer starts; false (after the reply) when that
// cannot even begin. The data connection is dropped then.
bool connect_data(Session& s) {
  platform::Status st = s.data()->connect_if_needed();
  if (st.ok()) return true;
  s.log(log::Level::Debug, "***DEBUG: dsock_c::start() failed, err# %d", st.err);
  s.reply(425, "Can't create data socket.");
  s.drop_data();
  return false;
}

// RETR after its checks: opens the file (the server's own log file too, while it is written),
// charges the download and starts sending.
void start_retrieve(Session& s, const std::string& path) {
  if (!connect_data(s)) return;
  platform::Result<platform::File> f = platform::File::open_read(local_of(path));
  if (!f.ok()) {
    // The server's own log file can be retrieved while the server writes it.
    log::Logger& lg = log::logger();
    std::string dir, name;
    if (lg.file_open() &&
        vfs::resolve_path(
            s.fs, s.fs.current_dir.path, s.host().settings().szlogf, &dir, &name,
            {.allow_wildcards = false, .follow_links = true, .check_permissions = true}) ==
            vfs::ResolveResult::Ok &&
        platform::ascii_iequal(dir + name, path)) {
      f = platform::File::reopen_read(lg.file_fd());
    }
  }
  if (!f.ok()) {
    log::report_open_failure(f.err, "file open");
    s.reply(450, "%s: Permission denied.", vfs::display_path(s.fs, path).c_str());
    s.log(log::Level::Actions, "Can't retrieve \"%s\" (%s).", esc(path).c_str(), "access denied");
    s.drop_data();
    return;
  }
  platform::Result<uint64_t> size = f->size();
  const uint64_t total = size.ok() ? *size : 0;
  DataConnection& d = *s.data();
  if (!charge_download(s, d, path, total)) {
    s.drop_data();
    return;
  }
  const uint64_t offset = transfer::restart_at(s.rest_offset, total);
  s.rest_offset = 0;
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  s.reply(150, "Opening %s mode data connection for %s (%llu bytes).", type_word(s), name.c_str(),
          static_cast<unsigned long long>(total));
  s.log(log::Level::Actions, "Retrieving \"%s\".", esc(path).c_str());
  d.send_file(std::move(*f), offset, total, path, s.host().now());
}

// STOR and STOU after their checks: opens (or, for STOU, makes) the file and starts receiving.
// `path` is the file, or for a unique store the directory.
void start_store(Session& s, const std::string& path) {
  if (!connect_data(s)) return;
  std::string target = path;
  std::string name;
  if (s.unique_store) {
    platform::Result<std::string> made = platform::create_unique(local_of(path));
    if (!made.ok()) {
      log::report_open_failure(made.err, "file open");
      s.reply(550, "%s: Permission denied.", "STOU");
      s.log(log::Level::Actions, "Can't store unique (%s).", "file error");
      s.drop_data();
      return;
    }
    const size_t cut = made->find_last_of("/\\");
    name = cut == std::string::npos ? *made : made->substr(cut + 1);
    target = path + name;
  } else {
    const size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  const std::string shown = vfs::display_path(s.fs, target);
  platform::Result<platform::File> f = platform::File::open_write(local_of(target));
  platform::Result<uint64_t> length;
  if (f.ok()) length = f->size();
  uint64_t offset = 0;
  bool ok = f.ok() && length.ok();
  if (ok) {
    // Without REST the upload replaces the whole file; with it the first bytes stay.
    offset = transfer::restart_at(s.rest_offset, *length);
    ok = f->seek(offset).ok() && f->truncate(offset).ok();
  }
  if (!ok) {
    if (!f.ok()) log::report_open_failure(f.err, "file open");
    s.reply(550, "%s: Permission denied.", shown.c_str());
    s.log(log::Level::Actions, "Can't store \"%s\" (%s).", esc(target).c_str(), "file error");
    s.drop_data();
    return;
  }
  s.rest_offset = 0;
  if (s.unique_store) {
    s.reply(150, "FILE: %s", name.c_str());
  } else {
    s.reply(150, "Opening %s mode data connection for %s", type_word(s), name.c_str());
  }
  s.log(log::Level::Actions, "Storing \"%s\".", esc(target).c_str());
  s.data()->receive_file(std::move(*f), offset, target, s.host().now());
}

}  // namespace

void cmd_port(Session& s, std::string& arg) {
  const store::ServerSettings& set = s.host().settings();
  if (set.ballowport == 0) {
    s.reply(500, "%s: Permission denied.", "PORT");
    return;
  }
  // Six byte fields: digits build the current field (modulo 256), commas move on, anything
  // else is ignored.
  unsigned field[6] = {};
  int commas = 0;
  for (char c : arg) {
    if (c >= '0' && c <= '9') {
      if (commas < 6) field[commas] = (field[commas] * 10 + static_cast<unsigned>(c - '0')) % 256;
    } else if (c == ',') {
      ++commas;
    }
  }
  // SECURITY: data ports below 1024 are refused whatever the third-party setting, so a client
  // cannot make the server connect to a privileged service.
  if (commas != 5 || field[4] < transfer::kMinPortHigh) {
    s.reply(500, "Illegal PORT command.");
    return;
  }
  if (set.benablethird == 0) {
    // SECURITY: without third-party transfers the data must go to the client itself.
    for (int i = 0; i < 4; ++i) {
      if (field[i] != s.peer_addr.byte(i)) {
        s.reply(500, "Illegal PORT command.");
        return;
      }
    }
  }
  for (int i = 0; i < 4; ++i) s.data_addr[i] = static_cast<uint8_t>(field[i]);
  s.data_port[0] = static_cast<uint8_t>(field[4]);
  s.data_port[1] = static_cast<uint8_t>(field[5]);
  s.drop_data();
  auto d = open_active_data(s);
  if (!d) return;
  s.set_data(std::move(d));
  s.reply(200, "%s command successful.", "PORT");
}

void cmd_pasv(Session& s, std::string&) {
  const store::ServerSettings& set = s.host().settings();
  if (set.ballowpasv == 0) {
    s.reply(500, "%s: Permission denied.", "PASV");
    return;
  }
  if (set.benablepasv == 0 || s.local_addr.addr == 0) {
    s.log(log::Level::Debug, "***DEBUG: pasv command not allowed.");
    s.reply(425, "Can't open passive connection. [%u]", 0u);
    return;
  }
  s.drop_data();
  // SECURITY: without third-party transfers only the client's own address may connect.
  std::optional<uint32_t> only_from;
  if (set.benablethird == 0) only_from = s.peer_addr.addr;
  transfer::OpenFailure failure;
  auto d = DataConnection::open_passive(s.host().loop(), s.local_addr.addr, only_from, failure);
  if (!d) {
    s.log(log::Level::Debug, "***DEBUG: dsock_c::dsock_c() failed, type# %d, code# %d, err# %d",
          static_cast<int>(Kind::Passive), failure.stage, failure.err);
    s.reply(425, "Can't open passive connection. [%u]", static_cast<unsigned>(failure.err));
    return;
  }
  const platform::SockAddr a = d->local_addr();
  s.set_data(std::move(d));
  s.reply(227, "Entering passive mode (%u,%u,%u,%u,%u,%u)", a.byte(0), a.byte(1), a.byte(2),
          a.byte(3), static_cast<unsigned>(a.port >> 8), static_cast<unsigned>(a.port & 0xff));
}

void cmd_retr(Session& s, std::string& arg) {
  std::string dir, name;
  const vfs::ResolveResult r = vfs::resolve_path(
      s.fs, s.fs.current_dir.path, arg, &dir, &name,
      {.allow_wildcards = false, .follow_links = true, .check_permissions = true});
  auto not_found = [&] {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    s.log(log::Level::Actions, "Can't retrieve \"%s\" (%s).", esc(arg).c_str(), "not found");
  };
  if (r != vfs::ResolveResult::Ok || name.empty()) return not_found();
  vfs::PermissionRecord perm;
  if (!s.fs.permission(dir, &perm) || !perm.r) {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't retrieve \"%s\" (%s).", esc(arg).c_str(), "access denied");
    return;
  }
  const std::string path = dir + name;
  platform::Result<platform::DirEntry> entry = platform::stat_entry(path.substr(1));
  if (!entry.ok() || entry->is_dir) return not_found();
  if (!ensure_data_connection(s)) return;
  start_retrieve(s, path);
}

void cmd_stor(Session& s, std::string& arg) {
  std::string dir, name;
  const vfs::ResolveResult r = vfs::resolve_path(
      s.fs, s.fs.current_dir.path, arg, &dir, &name,
      {.allow_wildcards = false, .follow_links = true, .check_permissions = true});
  if (r == vfs::ResolveResult::BadLink || name.empty()) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    s.log(log::Level::Actions, "Can't store \"%s\" (%s).", esc(arg).c_str(), "bad path");
    return;
  }
  auto denied = [&] {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::Level::Actions, "Can't store \"%s\" (%s).", esc(arg).c_str(), "access denied");
  };
  vfs::PermissionRecord perm;
  if (r == vfs::ResolveResult::Denied || !s.fs.permission(dir, &perm) || !perm.w) return denied();
  const std::string path = dir + name;
  const std::string local = path.substr(1);
  if (platform::stat_entry(local).ok()) {
    // Replacing a file deletes the old one: that needs D, and a read-only file loses the
    // attribute first.
    if (!perm.d || !platform::clear_attributes(local).ok()) return denied();
  }
  if (!room_on(s, path.size() > 1 ? path[1] : 'c')) {
    s.reply(550, "%s: Permission denied.", "Device full");
    s.log(log::Level::Actions, "Can't store \"%s\" (%s).", esc(arg).c_str(), "device full");
    return;
  }
  s.unique_store = false;
  if (!ensure_data_connection(s)) return;
  start_store(s, path);
}

void cmd_stou(Session& s, std::string&) {
  const std::string& cwd = s.fs.current_dir.path;
  if (!s.fs.current_dir.w) {
    s.reply(550, "%s: Permission denied.", "STOU");
    s.log(log::Level::Actions, "Can't store unique (%s).", "access denied");
    return;
  }
  if (!room_on(s, cwd.size() > 1 ? cwd[1] : 'c')) {
    s.reply(550, "%s: Permission denied.", "Device full");
    s.log(log::Level::Actions, "Can't store unique (%s).", "device full");
    return;
  }
  s.unique_store = true;
  if (!ensure_data_connection(s)) return;
  start_store(s, cwd);
}

void cmd_abor(Session& s, std::string&) {
  // No transfer is running here (the dispatcher sends ABOR of a running one to abort_transfer).
  // A waiting data connection is dropped; without one there is nothing to build and drop.
  s.drop_data();
  s.reply(225, "%s command successful.", "ABOR");
}

// ---- statistics and ratios ----

namespace {

// The user's counters are read and written back inside one store transaction: a change another
// process (the administration tools) makes between the read and the write is not overwritten,
// and the store's locks are taken once per transfer instead of twice. When the transaction cannot
// begin (another process holds the store past the busy timeout) the counters are still read, for
// the ratio check, but not written: a second wait for the same lock would only stall every
// session again, and the transfer goes on uncounted, as after any failed write.
class CounterUpdate {
 public:
  explicit CounterUpdate(platform::Registry* reg) : reg_(reg) {
    if (reg_ == nullptr) return;
    auto tx = reg_->begin();
    if (tx) {
      tx_ = std::move(*tx);
    } else {
      log::report_open_failure(tx.err, "store");
    }
  }
  // Reads the stored counters into `user`; false when there is no store or no record.
  bool read(store::UserRecord& user) {
    return reg_ != nullptr &&
           store::read_user(*reg_, user, {.main_fields = false, .counters = true});
  }
  // Writes the counters `mask` selects and commits; true when they are stored.
  bool write(const store::UserRecord& user, unsigned mask) {
    if (tx_ == nullptr) return false;
    platform::Status st = store::write_user(*reg_, user, {.main_fields = false, .counters = mask});
    if (st.ok()) st = tx_->commit();
    if (!st.ok()) log::report_open_failure(st.err, "store");
    return st.ok();
  }

 private:
  platform::Registry* reg_;                              // owned by the engine
  std::unique_ptr<platform::Registry::Transaction> tx_;  // rolled back unless committed
};

}  // namespace

bool charge_download(Session& s, DataConnection& d, const std::string& path, uint64_t total) {
  CounterUpdate update(s.host().registry());
  const bool have = update.read(s.account);
  const uint32_t kb = transfer::kb_of(total);
  s.account.idlfiles += 1;
  s.account.idlkb += kb;

  const store::TemplateRecord& t = s.tmpl;
  if (s.has_template && t.bratio && !s.account.bratio) {
    const bool per_session = t.bsession;
    const char* refused = nullptr;
    int up = 0, down = 0;
    if (t.bfiles && transfer::ratio_refuses(per_session ? s.files_stored : s.account.iulfiles,
                                            per_session ? s.files_retrieved : s.account.idlfiles,
                                            t.iufiles, t.idfiles)) {
      refused = "files";
      up = static_cast<int>(t.iufiles);
      down = static_cast<int>(t.idfiles);
    } else if (t.bbytes && transfer::ratio_refuses(per_session ? s.kb_stored : s.account.iulkb,
                                                   per_session ? s.kb_retrieved : s.account.idlkb,
                                                   t.iubytes, t.idbytes)) {
      refused = "kbytes";
      up = static_cast<int>(t.iubytes);
      down = static_cast<int>(t.idbytes);
    }
    if (refused != nullptr) {
      s.account.idlfiles -= 1;  // the charge was never written
      s.account.idlkb -= kb;
      s.reply(-450, "%s: Permission denied.", vfs::display_path(s.fs, path).c_str());
      s.reply(450, "UL/DL ratio exceeded (%s, %d/%d).", refused, up, down);
      s.log(log::Level::Actions, "Can't retrieve \"%s\" (%s).", esc(path).c_str(),
            refused[0] == 'f' ? "ratio exceeded (files)" : "ratio exceeded (kbytes)");
      return false;
    }
  }
  if (have) d.charged = update.write(s.account, store::kCountDlFiles | store::kCountDlKb);
  return true;
}

void refund_download(Session& s, DataConnection& d) {
  if (!d.charged) return;
  d.charged = false;
  CounterUpdate update(s.host().registry());
  if (!update.read(s.account)) return;
  s.account.idlfiles -= 1;
  s.account.idlkb -= transfer::kb_of(d.total_bytes());
  update.write(s.account, store::kCountDlFiles | store::kCountDlKb);
}

void credit_upload(Session& s, const DataConnection& d) {
  // What this upload brought: the bytes received, whatever the file held before.
  const uint32_t kb = transfer::kb_of(d.moved_bytes());
  s.files_stored += 1;
  s.kb_stored += kb;
  CounterUpdate update(s.host().registry());
  if (!update.read(s.account)) return;
  s.account.iulfiles += 1;
  s.account.iulkb += kb;
  update.write(s.account, store::kCountUlFiles | store::kCountUlKb);
}

}  // namespace qorda::session
