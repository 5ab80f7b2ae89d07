#include "platform/process.h"

#include <unistd.h>

#include <climits>

namespace qorda::platform {

Result<std::string> own_executable() {
  std::string path(PATH_MAX, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n < 0) return Status::from_errno("can't read /proc/self/exe");
  if (static_cast<size_t>(n) >= path.size()) {
    return Status::error(ENAMETOOLONG, "the program's path is too long");
  }
  path.resize(static_cast<size_t>(n));
  return path;
}

Status exec_program(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(path.c_str(), argv.data());
  return Status::from_errno("can't run " + path);
}

}  // namespace qorda::platform
