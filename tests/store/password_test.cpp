#include "store/password.h"

#include <gtest/gtest.h>

namespace qorda::store {
namespace {

// One check-value step worked by hand for u = 'A' (0x41) from C = 0 (test uses the changed C):
//   k0 bit7 of 0x0000^0x41 = 0 -> 0x0000   k4 bit3 of 0x60C6^0x41 = 0 -> 0xC18C
//   k1 bit6 of 0x0000^0x41 = 1 -> 0x1021   k5 bit2 of 0xC18C^0x41 = 1 -> 0x8318^0x1021 = 0x9339
//   k2 bit5 of 0x1021^0x41 = 1 -> 0x3063   k6 bit1 of 0x9339^0x41 = 0 -> 0x2672
//   k3 bit4 of 0x3063^0x41 = 0 -> 0x60C6   k7 bit0 of 0x2672^0x41 = 1 -> 0x4CE4^0x1021 = 0x5CC5
TEST(Password, CheckValueStepMatchesHandComputation) {
  EXPECT_EQ(password_check_update(0, 0x41), 0x5CC5);
  EXPECT_EQ(password_check_update(0, 0), 0);
}

// Known answers from a separate, throw-away re-implementation of the encoding (a dozen lines of
// Python written from the algorithm's description, not from this code).
TEST(Password, KnownAnswers) {
  EXPECT_EQ(encode_password(""), "HcZaRN5fhq");
  EXPECT_EQ(encode_password("secret"), "G6JTI1W=en");
  EXPECT_EQ(encode_password("a"), "N,B\\nI;r\\c");
  EXPECT_EQ(encode_password("password123"), "Fs8=TDwckE");
  EXPECT_EQ(encode_password("Zolvex Software"), "I*i*G4tCs@");
  // Longer than the 8-byte buffer: positions wrap around.
  EXPECT_EQ(encode_password("0123456789abcdefXYZ"), "*EPt(/:J56");
  // Bytes outside ASCII are not case-folded.
  EXPECT_EQ(encode_password("\xe9t\xe9"), "7B6HS1W:g4");
}

TEST(Password, LetterCaseDoesNotMatterButEverythingElseDoes) {
  EXPECT_EQ(encode_password("SeCrEt"), encode_password("secret"));
  EXPECT_NE(encode_password("secret1"), encode_password("secret"));
  EXPECT_NE(encode_password("\xe9"), encode_password("\xc9"));  // only ASCII letters fold
  for (const char* p : {"", "x", "a much longer password than eight bytes"}) {
    std::string e = encode_password(p);
    ASSERT_EQ(e.size(), kEncodedPasswordLength);
    for (char ch : e) {
      EXPECT_GE(static_cast<unsigned char>(ch), 38);
      EXPECT_LE(static_cast<unsigned char>(ch), 122);
    }
  }
}

}  // namespace
}  // namespace qorda::store
