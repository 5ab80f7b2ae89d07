#include "log/client_list.h"

#include <cstdio>

#include "log/limits.h"
#include "log/log.h"
#include "log/utf8.h"

namespace qorda::log {

namespace {

// "[%04x]": the part of a line that names its connection.
std::string tag(uint32_t sock) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "[%04x]", sock);
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

std::string ClientList::format_line(uint32_t sock, std::string_view user, std::string_view host) {
  // SECURITY: the user name is whatever the client sent with USER; control characters would
  // corrupt the list view (and a line feed would look like a second client).
  std::string name = escape_for_log(user);
  const size_t width = kClientListUserWidth;
  name.resize(utf8_cut(name, width));
  name.append(width - name.size(), ' ');
  std::string line = tag(sock);
  line += ' ';
  line += name;
  line += ' ';
  line += escape_for_log(host);
  return line;
}

void ClientList::put(uint32_t sock, std::string line) {
  remove(sock);
  lines_.push_back(std::move(line));
}

std::optional<size_t> ClientList::remove(uint32_t sock) {
  std::string t = tag(sock);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].compare(0, t.size(), t) == 0) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace qorda::log
