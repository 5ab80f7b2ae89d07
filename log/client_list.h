// The connected-clients list: one line per control connection, "[%04x] %-9.9s %s" (socket
// handle, user name cut or padded to 9 characters, remote host). The engine keeps it current;
// a view (the main window's list) follows it through the observer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qorda::log {

class ClientList {
 public:
  enum class Change { Added, Removed };
  // Called after a line was appended (index = its position, always the last) or removed
  // (index = the position it had).
  using Observer = std::function<void(Change, size_t index, const std::string& line)>;

  // The line for a connection.
  static std::string format_line(uint32_t sock, std::string_view user, std::string_view host);

  // Removes the connection's line, if any, and appends its new line at the end.
  void update(uint32_t sock, std::string_view user, std::string_view host);
  // Removes the connection's line, if any.
  void remove(uint32_t sock);

  const std::vector<std::string>& lines() const { return lines_; }
  void clear() { lines_.clear(); }
  void set_observer(Observer o) { observer_ = std::move(o); }

 private:
  std::vector<std::string> lines_;
  Observer observer_;
};

// The process-wide list the engine keeps.
ClientList& client_list();

}  // namespace qorda::log
