// The running program and the programs it hands over to.
#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace qorda::platform {

// The file of the running program (/proc/self/exe), with symbolic links resolved.
Result<std::string> own_executable();

// Replaces this process with the program at `path` (no PATH search), keeping the pid and the
// environment; `args` starts with the name the program sees as its own. Returns only when the
// program could not be started, with the errno value (ENOENT: no such file).
Status exec_program(const std::string& path, const std::vector<std::string>& args);

}  // namespace qorda::platform
