// The program's subcommands. Each takes the resolved home directory and its own arguments
// (the words after the command name) and returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace qorda::app {

using Args = std::vector<std::string>;

struct Context {
  std::string home;  // holds qorda.db and, by default, drive c:
};

// Exit statuses shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the command could not do its work
inline constexpr int kExitUsage = 2;    // bad arguments or bad input

// Path of the store file in a home.
std::string store_path(const Context& ctx);

}  // namespace qorda::app
