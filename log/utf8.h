// Cutting text without leaving half a UTF-8 character behind.
#pragma once

#include <cstddef>
#include <string_view>

namespace qorda::log {

// Length of the longest prefix of `s` that does not end inside a UTF-8 sequence, for a text
// that was cut at the end of `s`. Bytes that are not UTF-8 count as single characters.
inline size_t utf8_whole(std::string_view s) {
  size_t i = s.size(), cont = 0;
  while (i > 0 && cont < 3 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) {
    --i;
    ++cont;
  }
  if (i == 0) return s.size();
  unsigned char lead = static_cast<unsigned char>(s[i - 1]);
  if (lead < 0xC0) return s.size();
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  return need > cont + 1 ? i - 1 : s.size();
}

// Length of `s` cut to at most `max` bytes without splitting a character.
inline size_t utf8_cut(std::string_view s, size_t max) {
  return s.size() <= max ? s.size() : utf8_whole(s.substr(0, max));
}

}  // namespace qorda::log
