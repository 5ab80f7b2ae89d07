// Files written a line at a time: the log file.
#pragma once

#include <string>
#include <string_view>

#include "platform/fd.h"
#include "platform/result.h"

namespace qorda::platform {

// Opens `path` for appending (write only, created with mode 0640 when absent, closed on exec).
// The caller owns the returned descriptor.
Result<UniqueFd> open_append(const std::string& path);

// One write() of `data` (retried only when interrupted before anything was written). A short
// write is reported as it is, in n; the caller decides what a short write means.
IoResult write_once(int fd, std::string_view data);

}  // namespace qorda::platform
