#include "store/lines.h"

namespace qorda::store {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    char ch = text[i];
    if (ch == '\n' || ch == '\r') {
      out.push_back(text.substr(start, i - start));
      ++i;
      if (ch == '\r' && i < text.size() && text[i] == '\n') ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) {
    out += l;
    out += '\n';
  }
  return out;
}

}  // namespace qorda::store
