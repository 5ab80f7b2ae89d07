// Cutting text without leaving half a UTF-8 character behind, and telling well-formed UTF-8.
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

// Length of the well-formed UTF-8 sequence that starts at text[i], or 0 when none does.
// Overlong forms, surrogates and code points past U+10FFFF are not well-formed.
inline size_t utf8_sequence(std::string_view text, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = at(i);
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  }
  return len;
}

}  // namespace qorda::log
