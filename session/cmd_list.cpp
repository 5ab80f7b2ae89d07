// LIST and NLST: a directory listing sent over the data connection. The listing is built whole
// when the transfer starts and then drained by the data connection's write loop, one send at a
// time, so other clients are served between sends however long it is.
#include "log/log.h"
#include "platform/clock.h"
#include "session/cmd_listing.h"
#include "session/data_link.h"
#include "session/session.h"
#include "transfer/data_connection.h"
#include "transfer/listing.h"
#include "vfs/resolver.h"

namespace qorda::session {

namespace {

using transfer::ListMode;

// The listing's start: the opening reply, then the whole listing queued and sent.
void start_listing(Session& s, ListMode mode, const std::string& dir, const std::string& pattern) {
  if (platform::Status st = s.data()->connect_if_needed(); !st.ok()) {
    s.log(log::Level::Debug, "***DEBUG: dsock_c::start() failed, err# %d", st.err);
    s.reply(425, "Can't create data socket.");
    s.drop_data();
    return;
  }
  transfer::DataConnection& d = *s.data();
  s.reply(150, "Opening %s mode data connection for %s",
          s.type == TransferType::Image ? "BINARY" : "ASCII", "/bin/ls");
  const platform::Status listed = transfer::list_directory(
      s.fs, dir, pattern.empty() ? std::string_view("*") : pattern, mode == ListMode::LongList,
      platform::clock().now(), [&d](std::string_view line) {
        d.append_list_text(line.data(), line.size());
        d.append_list_text("\r\n", 2);
        return true;
      });
  if (!listed.ok()) {
    // The directory could not be read: a read error of the transfer, not an empty listing.
    s.log(log::Level::Actions, "Transfer aborted (%s).", "read error");
    s.reply(426, "Transfer aborted. Error reading file.");
    s.drop_data();
    return;
  }
  d.send_listing(mode, dir, s.host().now());
}

void list_command(Session& s, const std::string& arg, bool long_flag) {
  if (!ensure_data_connection(s)) return;
  const transfer::ListArgs a = transfer::parse_list_args(arg, long_flag);
  std::string dir = s.fs.current_dir.path;
  std::string pattern;
  if (!a.path.empty()) {
    vfs::ResolveResult r = vfs::resolve_path(
        s.fs, s.fs.current_dir.path, a.path, &dir, &pattern,
        {.allow_wildcards = true, .follow_links = true, .check_permissions = true});
    if (r != vfs::ResolveResult::Ok) {
      // The data connection stays for the next command.
      s.reply(550, "%s: No such file or directory.", a.path.c_str());
      return;
    }
  }
  if (pattern.empty()) pattern.push_back('*');
  start_listing(s, a.long_list ? ListMode::LongList : ListMode::NameList, dir, pattern);
}

}  // namespace

void cmd_list(Session& s, std::string& arg) {
  list_command(s, arg, true);
}

void cmd_nlst(Session& s, std::string& arg) {
  list_command(s, arg, false);
}

}  // namespace qorda::session
