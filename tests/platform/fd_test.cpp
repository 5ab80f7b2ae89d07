#include "platform/fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using qorda::platform::UniqueFd;

TEST(UniqueFd, ClosesOnDestructionAndMoveKeepsOwnership) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    UniqueFd a(raw);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), raw);
    EXPECT_NE(::fcntl(raw, F_GETFD), -1);
  }
  EXPECT_EQ(::fcntl(raw, F_GETFD), -1);  // closed exactly once, by the last owner
}
