// The password encoding: account passwords are stored and compared only as this 10-character
// text, never in the clear. Letters are folded to upper case first, so passwords do not depend on
// letter case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qorda::store {

// Length of every encoded password.
inline constexpr size_t kEncodedPasswordLength = 10;

// Encodes a password (any bytes; ASCII letters are upper-cased) keyed with the company name.
// The result is exactly kEncodedPasswordLength characters, each in the range 38..122.
std::string encode_password(std::string_view password);

// One step of the 16-bit check value the encoding accumulates over every (upper-cased) byte:
// eight rounds, each shifting C left and folding in 0x1021 when bit 7-k of (C xor u) is set,
// testing the C changed by the previous round. Exposed for the encoding's own tests.
uint16_t password_check_update(uint16_t c, uint8_t u);

}  // namespace qorda::store
