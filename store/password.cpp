#include "store/password.h"

#include <cstring>

#include "store/keys.h"

namespace qorda::store {
namespace {

uint8_t upper(uint8_t b) {
  return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 32) : b;
}

// Appends w as five base-85 digits, most significant first, each as the character d + 38.
void append_base85(std::string& out, uint32_t w) {
  char digits[5];
  for (int i = 4; i >= 0; --i) {
    digits[i] = static_cast<char>(w % 85 + 38);
    w /= 85;
  }
  out.append(digits, 5);
}

}  // namespace

uint16_t password_check_update(uint16_t c, uint8_t u) {
  for (int k = 0; k < 8; ++k) {
    bool bit = ((c ^ u) >> (7 - k)) & 1;
    uint16_t shifted = static_cast<uint16_t>(c << 1);
    c = bit ? static_cast<uint16_t>(shifted ^ 0x1021) : shifted;
  }
  return c;
}

std::string encode_password(std::string_view password) {
  uint16_t check = 0;
  uint8_t buf[8] = {};
  for (size_t i = 0; i < password.size(); ++i) {
    uint8_t u = upper(static_cast<uint8_t>(password[i]));
    check = password_check_update(check, u);
    buf[i % 8] ^= u;
  }
  const char* key = kCompanyName;
  size_t key_len = std::strlen(key);
  for (size_t j = 0; j < key_len; ++j) {
    uint8_t u = upper(static_cast<uint8_t>(key[j]));
    check = password_check_update(check, u);
    buf[7 - (j % 8)] ^= u;
  }
  for (int i = 0; i < 8; ++i) {
    buf[i] ^= (i % 2 == 0) ? static_cast<uint8_t>(check & 0xff) : static_cast<uint8_t>(check >> 8);
  }
  auto le32 = [&](int at) {
    return static_cast<uint32_t>(buf[at]) | static_cast<uint32_t>(buf[at + 1]) << 8 |
           static_cast<uint32_t>(buf[at + 2]) << 16 | static_cast<uint32_t>(buf[at + 3]) << 24;
  };
  std::string out;
  out.reserve(kEncodedPasswordLength);
  append_base85(out, le32(0));
  append_base85(out, le32(4));
  return out;
}

}  // namespace qorda::store
