#include "session/banner.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/volume.h"
#include "session/session.h"
#include "store/settings.h"
#include "vfs/resolver.h"

namespace qorda::session {

namespace {

const char* name_at(const char* const* names, int count, int i) {
  return i >= 0 && i < count ? names[i] : "???";
}

}  // namespace

std::string expand_tokens(const TokenValues& v, std::string_view line) {
  std::string out;
  out.reserve(line.size());
  char buf[64];
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\r' || c == '\n' || c == '\0') break;  // the rest of the line is not sent
    if (c != '%') {
      out += c;
      continue;
    }
    if (++i >= line.size()) break;  // a final "%" gives nothing
    const char t = line[i];
    switch (t) {
      case '%':
        out += '%';
        break;
      case 't':
      case 'T': {
        const platform::LocalTime& n = v.now;
        std::snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %d", name_at(kDayNames, 7, n.wday),
                      name_at(kMonthNames, 12, n.month - 1), n.day, n.hour, n.minute, n.second,
                      n.year);
        out += buf;
        break;
      }
      case 'r':
      case 'R':
        out += v.remote_host;
        break;
      case 'l':
      case 'L':
        out += v.host_name;
        break;
      case 'n':
      case 'N':
        out += std::to_string(v.connections);
        break;
      case 'm':
      case 'M':
        out += std::to_string(v.max_clients);
        break;
      case 'c':
      case 'C':
        if (v.logged_in) out += v.current_dir;
        break;
      case 'f':
      case 'F':
        if (v.logged_in && v.free_bytes) {
          // Megabytes in 64 bits: today's volumes overflow any 32-bit product.
          if (std::optional<uint64_t> bytes = v.free_bytes()) {
            std::snprintf(buf, sizeof buf, "%" PRIu64, *bytes / 1048576u);
            out += buf;
          }
        }
        break;
      case 'u':
      case 'U':
        if (v.logged_in) out += v.user;
        break;
      case '\r':
      case '\n':
      case '\0':
        return out;  // "%" right before the line end: nothing more is sent
      default:
        out += '%';
        out += t;
        break;
    }
  }
  return out;
}

TokenValues session_tokens(Session& s) {
  TokenValues v;
  v.now = platform::clock().local_now();
  v.remote_host = s.remote_host;
  v.host_name = s.host().host_name();
  v.connections = s.host().client_count();
  v.max_clients = static_cast<int>(s.host().settings().imaxc);
  // A session that is closing after a login (QUIT) still shows its values in the goodbye
  // banner: the view of the drives exists exactly from a successful login to its end.
  v.logged_in = s.state == SessionState::LoggedIn ||
                (s.state == SessionState::Closing && !s.fs.current_dir.path.empty());
  if (v.logged_in) {
    v.user = s.user_name;
    v.current_dir = vfs::display_path(s.fs, s.fs.current_dir.path);
    const std::string path = s.fs.current_dir.path;
    v.free_bytes = [path]() -> std::optional<uint64_t> {
      if (path.size() < 3 || path[0] != '/' || path[2] != ':') return std::nullopt;
      platform::Result<uint64_t> r = platform::free_space(path[1]);
      if (!r) return std::nullopt;
      return *r;
    };
  }
  return v;
}

void Session::send_text_line(int code, std::string_view line) {
  std::string text = expand_tokens(session_tokens(*this), line);
  reply(code, "%s", text.c_str());
}

void message_lines(const std::function<size_t(char*, size_t)>& read,
                   const std::function<void(std::string_view)>& line) {
  char block[kMessageBlock];
  size_t fill = 0;  // bytes carried over from the previous block
  for (;;) {
    // Top the block up to its full size, as one read at the line's start would.
    while (fill < kMessageBlock) {
      size_t n = read(block + fill, kMessageBlock - fill);
      if (n == 0) break;
      fill += n;
    }
    if (fill == 0) return;
    std::string_view b(block, fill);
    size_t lf = b.find('\n');
    if (lf == std::string_view::npos) {
      line(b);
      fill = 0;
      continue;
    }
    // Both CR LF and a bare LF end a line, so files written on either kind of system show the
    // same lines.
    size_t end = lf > 0 && b[lf - 1] == '\r' ? lf - 1 : lf;
    line(b.substr(0, end));
    const size_t used = lf + 1;
    std::memmove(block, block + used, fill - used);
    fill -= used;
  }
}

void send_message_file(Session& s, const std::string& dir, const char* name, int code) {
  // SECURITY: only a regular file is opened (a directory, a FIFO or a device named like a
  // message file shows nothing), and no more than kMaxMessageBytes of it are read.
  platform::Result<platform::File> f = platform::File::open_read(dir + name);
  if (!f) return;
  const TokenValues tokens = session_tokens(s);
  uint64_t left = kMaxMessageBytes;
  const int cont = code > 0 ? -code : code;
  message_lines(
      [&](char* buf, size_t n) -> size_t {
        if (left == 0) return 0;
        if (n > left) n = static_cast<size_t>(left);
        platform::IoResult r = f->read(buf, n);
        if (!r.ok()) return 0;
        left -= r.n;
        return r.n;
      },
      [&](std::string_view l) {
        std::string text = expand_tokens(tokens, l);
        s.reply(cont, "%s", text.c_str());
      });
}

void send_message_files(Session& s, const std::string& dir,
                        const std::vector<std::string_view>& names, int code) {
  platform::Result<std::vector<std::string>> found = platform::lookup_names(dir, names);
  if (!found) return;
  for (const std::string& name : *found) {
    if (!name.empty()) send_message_file(s, dir, name.c_str(), code);
  }
}

}  // namespace qorda::session
