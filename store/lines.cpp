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

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace qorda::store
