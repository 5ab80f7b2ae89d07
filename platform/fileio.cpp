#include "platform/fileio.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/fd.h"
#include "platform/limits.h"

namespace qorda::platform {

namespace {

Status sys_error(const std::string& what) {
  int e = errno;
  return Status::error(e, what + ": " + std::strerror(e));
}

}  // namespace

Result<std::string> read_all_bounded(int fd, size_t max_bytes) {
  constexpr size_t kChunk = 64 * 1024;
  std::string out;
  for (;;) {
    // SECURITY: never hold more than max_bytes + one chunk, whatever the input claims or sends.
    size_t have = out.size();
    out.resize(have + kChunk);
    ssize_t n = ::read(fd, out.data() + have, kChunk);
    if (n < 0) {
      if (errno == EINTR) {
        out.resize(have);
        continue;
      }
      return sys_error("read");
    }
    out.resize(have + static_cast<size_t>(n));
    if (out.size() > max_bytes) {
      return Status::error(EFBIG,
                           "the input is larger than " + std::to_string(max_bytes >> 20) + " MiB");
    }
    if (n == 0) return out;
  }
}

Result<std::string> read_file_bounded(const std::string& path, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return sys_error(path);
  Result<std::string> r = read_all_bounded(fd.get(), max_bytes);
  if (!r) return Status::error(r.err, path + ": " + r.msg);
  return r;
}

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return sys_error("write");
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

Status replace_file(const std::string& path, std::string_view data, unsigned mode) {
  std::string tmp = path + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd) return sys_error(path);
  auto fail = [&](const std::string& what) {
    Status s = sys_error(what);
    ::unlink(tmp.c_str());
    return s;
  };
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) return fail(tmp);
  if (Status s = write_all(fd.get(), data); !s) {
    ::unlink(tmp.c_str());
    return Status::error(s.err, tmp + ": " + s.msg);
  }
  if (::fsync(fd.get()) != 0) return fail(tmp);
  if (::close(fd.release()) != 0) return fail(tmp);
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail(path);
  // Make the rename itself durable.
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d) ::fsync(d.get());
  return {};
}

Status create_new_file(const std::string& path, std::string_view data, unsigned mode) {
  // SECURITY: O_EXCL with O_NOFOLLOW: a name that exists (even as a dangling symbolic link) is
  // never written through.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(mode)));
  if (!fd) return sys_error(path);
  if (Status s = write_all(fd.get(), data); !s) {
    ::unlink(path.c_str());
    return Status::error(s.err, path + ": " + s.msg);
  }
  if (::close(fd.release()) != 0) {
    Status s = sys_error(path);
    ::unlink(path.c_str());
    return s;
  }
  return {};
}

Status make_directories(const std::string& path, unsigned mode) {
  if (path.empty()) return Status::error(EINVAL, "empty directory name");
  size_t pos = 0;
  for (;;) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0) {
      int e = errno;
      struct stat st {};
      if (e != EEXIST || ::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = e == EEXIST ? ENOTDIR : e;
        return sys_error(part);
      }
    }
    if (pos == std::string::npos) return {};
  }
}

Result<uint32_t> owner_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return sys_error(path);
  return static_cast<uint32_t>(st.st_uid);
}

uint32_t effective_uid() {
  return static_cast<uint32_t>(::geteuid());
}

std::string user_name(uint32_t uid) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : kPasswdBufferBytes);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) != 0 || !found) {
    return {};
  }
  return found->pw_name ? found->pw_name : "";
}

}  // namespace qorda::platform
