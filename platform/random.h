// Secrets from the kernel's random source (the pool behind /dev/urandom), for generated
// passwords. Not for anything that needs to be reproducible.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace qorda::platform {

// Fills buf with n random bytes. Fails only when the kernel refuses (never returns a partial
// fill).
Status random_bytes(void* buf, size_t n);

// A text of `length` characters, each drawn uniformly from `alphabet` (1 to 256 characters).
// EINVAL for an empty or longer alphabet.
Result<std::string> random_text(size_t length, std::string_view alphabet);

}  // namespace qorda::platform
