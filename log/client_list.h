// The connected-clients list: one line per control connection, "[%04x] %-9.9s %s" (socket
// handle, user name cut or padded to 9 characters, remote host). Sessions format their line; a
// view (the main window's list) keeps its copy of the list here, fed by the engine observer's
// client_line and client_line_removed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorda::log {

class ClientList {
 public:
  // The line for a connection.
  static std::string format_line(uint32_t sock, std::string_view user, std::string_view host);

  // Removes the connection's line, if any, and appends `line` (its new line) at the end.
  void put(uint32_t sock, std::string line);
  void update(uint32_t sock, std::string_view user, std::string_view host) {
    put(sock, format_line(sock, user, host));
  }
  // Removes the connection's line; the position it had, or nothing when there was none.
  std::optional<size_t> remove(uint32_t sock);

  const std::vector<std::string>& lines() const { return lines_; }
  void clear() { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
};

}  // namespace qorda::log
