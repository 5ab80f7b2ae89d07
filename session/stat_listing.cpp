// STAT with a path: the long listing of the argument, sent on the control connection as bare
// reply lines between 211- and 211.
#include "platform/clock.h"
#include "session/cmd_listing.h"
#include "session/defs.h"
#include "session/session.h"
#include "transfer/listing.h"
#include "vfs/resolver.h"

namespace qorda::session {

namespace {

// SECURITY: a listing on the control connection is queued whole before it is sent; past this
// many unsent bytes the remaining lines are left out so that a huge directory cannot push the
// session over its output limit (which would close it) or grow memory without bound.
constexpr size_t kStatListingBudget = kMaxOutputQueue / 2;
// The socket is offered the queued lines whenever this much has gathered: often enough to keep
// the queue well below the budget for a client that reads, rarely enough not to spend a system
// call on every line.
constexpr size_t kStatFlushAt = 16 * kChunkSize;

}  // namespace

void stat_listing(Session& s, const std::string& arg) {
  if (s.state != SessionState::LoggedIn) {
    s.reply(530, "Please login with USER and PASS.");
    return;
  }
  std::string dir, name;
  vfs::ResolveResult r =
      vfs::resolve_path(s.fs, s.fs.current_dir.path, arg, &dir, &name,
                        {.allow_wildcards = true, .follow_links = true, .check_permissions = true});
  if (r != vfs::ResolveResult::Ok) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    return;
  }
  if (name.empty()) name.push_back('*');
  const std::string shown = vfs::display_path(s.fs, dir + name);
  // The first line waits for the listing: a directory that cannot be read is answered with the
  // failure reply alone, since a reply begun with 211- must end with 211.
  bool begun = false;
  auto begin = [&s, &shown, &begun] {
    if (!begun) s.reply(-211, "status of %s:", shown.c_str());
    begun = true;
  };
  const platform::Status listed = transfer::list_directory(
      s.fs, dir, name, true, platform::clock().now(), [&s, &begin](std::string_view line) {
        begin();
        if (s.queued_output() >= kStatFlushAt) s.flush();
        if (s.queued_output() > kStatListingBudget) {
          // The reply is full: the walk ends here rather than reading entries nobody sees.
          return false;
        }
        std::string text(line);
        s.reply(0, "%s", text.c_str());
        return true;
      });
  if (!listed.ok()) {
    s.reply(550, "%s: No such file or directory.", arg.c_str());
    return;
  }
  begin();
  s.reply(211, "End of status");
}

}  // namespace qorda::session
