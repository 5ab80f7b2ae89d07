#pragma once

#include <string_view>

// Case folding for names the server compares the way its store does: ASCII letters only, never
// the locale, so a name matches the same way on every machine.
namespace qorda::platform {

constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the first prefix.size() characters of text equal prefix ignoring ASCII letter case.
constexpr bool ascii_istarts_with(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
  }
  return true;
}

// True when a and b are equal ignoring ASCII letter case.
constexpr bool ascii_iequal(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ascii_istarts_with(a, b);
}

}  // namespace qorda::platform
