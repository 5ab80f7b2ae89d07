// Ending a session: QUIT, the close reasons with their farewell replies and log lines, and REST
// (the restart offset, kept on the session).
#include <climits>

#include "log/log.h"
#include "session/command_table.h"
#include "session/session.h"
#include "store/settings.h"

namespace qorda::session {

void Session::close(CloseReason reason) {
  state = SessionState::Closing;
  // Whatever closes the session also ends a failed login's hold: its reply goes out first.
  on_hold_ = false;
  password_waits_ = false;
  if (lookup_handle_ != 0) cancel_lookup();
  if (examined) {
    host_.observer().examine_caption(static_cast<uint32_t>(sock),
                                     "examining client (disconnected!)");
  }
  const char* logged = "Disconnected.";
  switch (reason) {
    case CloseReason::Quit: {
      std::vector<std::string_view> lines = split_banner(host_.settings().szmsg2);
      if (lines.empty()) reply(221, "Goodbye.");
      for (size_t i = 0; i < lines.size(); ++i) {
        send_text_line(i + 1 == lines.size() ? 221 : -221, lines[i]);
      }
      break;
    }
    case CloseReason::ServerShutdown:
      reply(421, "Server shutting down.  Goodbye.");
      break;
    case CloseReason::IdleTimeout:
      reply(421, "Timeout (%d seconds): closing control connection.",
            static_cast<int>(host_.settings().imaxt));
      logged = "Disconnected. (idle timeout)";
      break;
    case CloseReason::Disconnected:
      reply(421, "Disconnected by the administrator.");
      logged = "Disconnected. (by administrator)";
      break;
    case CloseReason::TooManyAttempts:
      logged = "Disconnected. (too many attempts)";
      break;
    case CloseReason::OutputOverflow:
      // SECURITY: the client does not read its replies; keeping them would grow memory without
      // bound. Nothing more is sent to it.
      discard_output();
      delete_mark = true;
      log(log::Level::Debug, "***DEBUG: output queue over %zu bytes, closing connection.",
          kMaxOutputQueue);
      // Every session that was logged as connected is logged as gone, at the same level.
      log(log::Level::Security, "Disconnected. (output overflow)");
      return;
  }
  flush();
  log(log::Level::Security, "%s", logged);
  delete_mark = true;
}

void cmd_quit(Session& s, std::string&) {
  s.close(CloseReason::Quit);
}

void cmd_rest(Session& s, std::string& arg) {
  // Offsets are 64-bit (files beyond 4 GiB restart where asked); a larger figure is held at its
  // limit. A negative offset is kept as given and, compared as an unsigned number, lies beyond
  // the end of every file.
  s.rest_offset = static_cast<int64_t>(parse_decimal(arg));
  s.reply(350, "Restarting at %lld. Send STOR or RETR to initiate transfer.",
          static_cast<long long>(s.rest_offset));
}

}  // namespace qorda::session
