// LIST and NLST: a directory listing sent over the data connection. The listing is built whole
// when the transfer starts and then drained by the data connection's write loop, one send at a
// time, so other clients are served between sends however long it is.
#include "log/log.h"
#include "platform/clock.h"
#include "session/csock.h"
#include "transfer/dsock.h"
#include "transfer/listing.h"
#include "transfer/listing_commands.h"
#include "transfer/transfer.h"
#include "vfs/resolver.h"

namespace qorda::transfer {

namespace {

// The listing preparation of start: the opening reply, then the whole listing queued.
void prepare_listing(dsock_c& d, const std::string& dir, const std::string& pattern) {
  session::csock_c& s = *d.owner;
  s.reply(150, "Opening %s mode data connection for %s",
          s.type == session::kTypeImage ? "BINARY" : "ASCII", "/bin/ls");
  const platform::Status listed = list_directory(
      s.fs, dir, pattern.empty() ? std::string_view("*") : pattern, d.list_mode == kLongList,
      platform::clock().now(), [&d](std::string_view line) {
        d.append_list_text(line.data(), line.size());
        d.append_list_text("\r\n", 2);
        return true;
      });
  if (!listed.ok()) {
    // The directory could not be read: a read error of the transfer, not an empty listing.
    s.log(log::kActions, "Transfer aborted (%s).", "read error");
    s.reply(426, "Transfer aborted. Error reading file.");
    d.done = true;
    return;
  }
  // What STAT reports as the size of the transfer under way.
  d.total_bytes = 0;
  for (const ListChunk& c : d.list_chunks) d.total_bytes += c.fill - c.read;
}

void list_command(session::csock_c& s, const std::string& arg, bool long_flag) {
  if (s.data == nullptr && !chkdata(s)) return;
  const ListArgs a = parse_list_args(arg, long_flag);
  std::string dir = s.fs.current_dir.path;
  std::string pattern;
  if (!a.path.empty()) {
    int r = vfs::resolve_path(
        s.fs, s.fs.current_dir.path, a.path, &dir, &pattern,
        {.allow_wildcards = true, .follow_links = true, .check_permissions = true});
    if (r != vfs::RESOLVE_OK) {
      // The data connection stays for the next command.
      s.reply(550, "%s: No such file or directory.", a.path.c_str());
      return;
    }
  }
  if (pattern.empty()) pattern.push_back('*');
  s.data->start(kSend, a.long_list ? kLongList : kNameList, dir, pattern, prepare_listing);
  if (s.data != nullptr && s.data->done) destroy(s.data);
}

}  // namespace

void cmd_list(session::csock_c& s, std::string& arg) {
  list_command(s, arg, true);
}

void cmd_nlst(session::csock_c& s, std::string& arg) {
  list_command(s, arg, false);
}

}  // namespace qorda::transfer
