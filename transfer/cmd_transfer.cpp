// PORT, PASV, RETR, STOR, STOU and ABOR; the default data connection; statistics and ratios.
#include <cctype>
#include <cmath>
#include <memory>

#include "engine/netmodule.h"
#include "log/descriptors.h"
#include "log/log.h"
#include "platform/volume.h"
#include "session/csock.h"
#include "store/records.h"
#include "store/settings.h"
#include "transfer/dsock.h"
#include "transfer/transfer.h"
#include "vfs/resolver.h"

namespace qorda::transfer {

using session::csock_c;

namespace {

// Replaces the session's data connection by a new one of the given kind (which has replied on
// failure). True when the new one stands.
bool make_data(csock_c& s, int kind) {
  if (s.data != nullptr) destroy(s.data);
  auto* d = new dsock_c(kind, s);  // owned by the session from here
  if (d->done) {
    destroy(d);
    return false;
  }
  s.data = d;
  return true;
}

// Is there room for an upload on the drive? At least `ispace` kilobytes must be free.
bool room_on(char letter) {
  platform::Result<uint64_t> free = platform::free_space(letter);
  return free.ok() && *free / 1024 >= store::settings().ispace;
}

std::string esc(const std::string& text) {
  return log::escape_for_log(text);
}

}  // namespace

bool chkdata(csock_c& s) {
  if (s.data != nullptr) return true;
  auto* d = new dsock_c(kActive, s);
  if (d->done) {
    destroy(d);
    s.log(log::kDebug, "***DEBUG: csock_c::chkdata() failed");
    return false;
  }
  s.data = d;
  return true;
}

void cmd_port(csock_c& s, std::string& arg) {
  const store::ServerSettings& set = store::settings();
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
  if (commas != 5 || field[4] < kMinPortHigh) {
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
  if (make_data(s, kActive)) s.reply(200, "%s command successful.", "PORT");
}

void cmd_pasv(csock_c& s, std::string&) {
  const store::ServerSettings& set = store::settings();
  if (set.ballowpasv == 0) {
    s.reply(500, "%s: Permission denied.", "PASV");
    return;
  }
  if (set.benablepasv == 0 || s.local_addr.addr == 0) {
    s.log(log::kDebug, "***DEBUG: pasv command not allowed.");
    s.reply(425, "Can't open passive connection. [%u]", 0u);
    return;
  }
  make_data(s, kPassive);  // the constructor sends 227 or the failure
}

void cmd_retr(csock_c& s, std::string& arg) {
  std::string dir, name;
  const int r = vfs::resolve_path(
      s.fs, s.fs.current_dir.path, arg, &dir, &name,
      {.allow_wildcards = false, .follow_links = true, .check_permissions = true});
  auto not_found = [&] {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    s.log(log::kActions, "Can't retrieve \"%s\" (%s).", esc(arg).c_str(), "not found");
  };
  if (r != vfs::RESOLVE_OK || name.empty()) return not_found();
  vfs::PermissionRecord perm;
  if (!s.fs.permission(dir, &perm) || !perm.r) {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::kActions, "Can't retrieve \"%s\" (%s).", esc(arg).c_str(), "access denied");
    return;
  }
  const std::string path = dir + name;
  platform::Result<platform::DirEntry> entry = platform::stat_entry(path.substr(1));
  if (!entry.ok() || entry->is_dir) return not_found();
  if (s.data == nullptr && !chkdata(s)) return;
  s.data->start(kSend, kFileTransfer, path, "");
  if (s.data != nullptr && s.data->done) destroy(s.data);
}

void cmd_stor(csock_c& s, std::string& arg) {
  std::string dir, name;
  const int r = vfs::resolve_path(
      s.fs, s.fs.current_dir.path, arg, &dir, &name,
      {.allow_wildcards = false, .follow_links = true, .check_permissions = true});
  if (r == vfs::RESOLVE_BAD_LINK || name.empty()) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    s.log(log::kActions, "Can't store \"%s\" (%s).", esc(arg).c_str(), "bad path");
    return;
  }
  auto denied = [&] {
    s.reply(550, "%s: Permission denied.", arg.c_str());
    s.log(log::kActions, "Can't store \"%s\" (%s).", esc(arg).c_str(), "access denied");
  };
  vfs::PermissionRecord perm;
  if (r == vfs::RESOLVE_DENIED || !s.fs.permission(dir, &perm) || !perm.w) return denied();
  const std::string path = dir + name;
  const std::string local = path.substr(1);
  if (platform::stat_entry(local).ok()) {
    // Replacing a file deletes the old one: that needs D, and a read-only file loses the
    // attribute first.
    if (!perm.d || !platform::clear_attributes(local).ok()) return denied();
  }
  if (!room_on(path.size() > 1 ? path[1] : 'c')) {
    s.reply(550, "%s: Permission denied.", "Device full");
    s.log(log::kActions, "Can't store \"%s\" (%s).", esc(arg).c_str(), "device full");
    return;
  }
  s.unique_store = false;
  if (s.data == nullptr && !chkdata(s)) return;
  s.data->start(kReceive, kFileTransfer, path, "");
  if (s.data != nullptr && s.data->done) destroy(s.data);
}

void cmd_stou(csock_c& s, std::string&) {
  const std::string& cwd = s.fs.current_dir.path;
  if (!s.fs.current_dir.w) {
    s.reply(550, "%s: Permission denied.", "STOU");
    s.log(log::kActions, "Can't store unique (%s).", "access denied");
    return;
  }
  if (!room_on(cwd.size() > 1 ? cwd[1] : 'c')) {
    s.reply(550, "%s: Permission denied.", "Device full");
    s.log(log::kActions, "Can't store unique (%s).", "device full");
    return;
  }
  s.unique_store = true;
  if (s.data == nullptr && !chkdata(s)) return;
  s.data->start(kReceive, kFileTransfer, cwd, "");
  if (s.data != nullptr && s.data->done) destroy(s.data);
}

void cmd_abor(csock_c& s, std::string&) {
  // No transfer is running here (the dispatcher sends ABOR of a running one to abort_running).
  // A waiting data connection is dropped; without one there is nothing to build and drop.
  if (s.data != nullptr) destroy(s.data);
  s.reply(225, "%s command successful.", "ABOR");
}

// ---- statistics and ratios ----

bool ratio_refuses(uint32_t u, uint32_t d, uint32_t up, uint32_t down) {
  if (u == 0) return true;
  if (d == 0) return false;
  const double want = static_cast<double>(up) / static_cast<double>(down);
  const double have = static_cast<double>(u) / static_cast<double>(d);
  // A ratio that is not a number or infinite refuses too.
  return !std::isfinite(want) || have < want;
}

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

bool charge_download(dsock_c& d) {
  csock_c& s = *d.owner;
  CounterUpdate update(s.net().registry());
  const bool have = update.read(s.account);
  const uint32_t kb = kb_of(d.total_bytes);
  s.account.idlfiles += 1;
  s.account.idlkb += kb;

  const store::TemplateRecord& t = s.tmpl;
  if (s.has_template && t.bratio && !s.account.bratio) {
    const bool per_session = t.bsession;
    const char* refused = nullptr;
    int up = 0, down = 0;
    if (t.bfiles &&
        ratio_refuses(per_session ? s.files_stored : s.account.iulfiles,
                      per_session ? s.files_retrieved : s.account.idlfiles, t.iufiles, t.idfiles)) {
      refused = "files";
      up = static_cast<int>(t.iufiles);
      down = static_cast<int>(t.idfiles);
    } else if (t.bbytes && ratio_refuses(per_session ? s.kb_stored : s.account.iulkb,
                                         per_session ? s.kb_retrieved : s.account.idlkb, t.iubytes,
                                         t.idbytes)) {
      refused = "kbytes";
      up = static_cast<int>(t.iubytes);
      down = static_cast<int>(t.idbytes);
    }
    if (refused != nullptr) {
      s.account.idlfiles -= 1;  // the charge was never written
      s.account.idlkb -= kb;
      s.reply(-450, "%s: Permission denied.", vfs::display_path(s.fs, d.file_path).c_str());
      s.reply(450, "UL/DL ratio exceeded (%s, %d/%d).", refused, up, down);
      s.log(log::kActions, "Can't retrieve \"%s\" (%s).", esc(d.file_path).c_str(),
            refused[0] == 'f' ? "ratio exceeded (files)" : "ratio exceeded (kbytes)");
      return false;
    }
  }
  if (have) d.charged = update.write(s.account, store::kCountDlFiles | store::kCountDlKb);
  return true;
}

void refund_download(dsock_c& d) {
  if (!d.charged) return;
  d.charged = false;
  csock_c& s = *d.owner;
  CounterUpdate update(s.net().registry());
  if (!update.read(s.account)) return;
  s.account.idlfiles -= 1;
  s.account.idlkb -= kb_of(d.total_bytes);
  update.write(s.account, store::kCountDlFiles | store::kCountDlKb);
}

void credit_upload(dsock_c& d) {
  csock_c& s = *d.owner;
  // What this upload brought: the bytes received, whatever the file held before.
  const uint32_t kb = kb_of(d.moved_bytes);
  s.files_stored += 1;
  s.kb_stored += kb;
  CounterUpdate update(s.net().registry());
  if (!update.read(s.account)) return;
  s.account.iulfiles += 1;
  s.account.iulkb += kb;
  update.write(s.account, store::kCountUlFiles | store::kCountUlKb);
}

}  // namespace qorda::transfer
