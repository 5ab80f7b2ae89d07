#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qorda::platform {

Status random_bytes(void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    // getrandom without flags reads the same pool as /dev/urandom but needs no descriptor and
    // blocks only until that pool has been seeded once after boot.
    ssize_t got = ::getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      return Status::error(e, std::string("can't read random bytes: ") + std::strerror(e));
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return {};
}

Result<std::string> random_text(size_t length, std::string_view alphabet) {
  if (alphabet.empty() || alphabet.size() > 256) {
    return Status::error(EINVAL, "the alphabet must hold 1 to 256 characters");
  }
  // Bytes at or above the largest multiple of the alphabet size are drawn again, so that every
  // character is equally likely (a plain modulo would favour the first ones).
  const unsigned limit = 256 - 256 % static_cast<unsigned>(alphabet.size());
  std::string out;
  out.reserve(length);
  uint8_t pool[64];
  while (out.size() < length) {
    if (Status s = random_bytes(pool, sizeof pool); !s) return s;
    for (uint8_t b : pool) {
      if (b >= limit) continue;
      out += alphabet[b % alphabet.size()];
      if (out.size() == length) break;
    }
  }
  return out;
}

}  // namespace qorda::platform
