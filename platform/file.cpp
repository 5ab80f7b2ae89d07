#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/volume.h"

namespace qorda::platform {

namespace {

Result<File> checked_regular(int fd, File f) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Status::from_errno();
  if (S_ISDIR(st.st_mode)) return Status::error(EISDIR);
  if (!S_ISREG(st.st_mode)) return Status::error(EINVAL, "not a disk file");
  return f;
}

}  // namespace

Result<File> File::open_read(std::string_view path) {
  // O_NONBLOCK keeps a FIFO placed in a drive from stalling the server at open.
  Result<UniqueFd> opened = open_entry(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (!opened) return opened.status();
  int fd = opened->release();
  File f(fd);
  Result<File> r = checked_regular(fd, std::move(f));
  if (r) ::fcntl(fd, F_SETFL, 0);
  return r;
}

Result<File> File::open_write(std::string_view path) {
  Result<UniqueFd> opened = open_entry(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (!opened) return opened.status();
  int fd = opened->release();
  File f(fd);
  Result<File> r = checked_regular(fd, std::move(f));
  if (r) ::fcntl(fd, F_SETFL, 0);
  return r;
}

Result<File> File::reopen_read(int fd) {
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  int nfd = ::open(proc.c_str(), O_RDONLY | O_CLOEXEC);
  if (nfd < 0) return Status::from_errno();
  return File(nfd);
}

IoResult File::read(void* buf, size_t n) {
  for (;;) {
    ssize_t r = ::read(fd_.get(), buf, n);
    if (r >= 0) return {static_cast<size_t>(r), 0};
    if (errno != EINTR) return {0, errno};
  }
}

IoResult File::write(const void* buf, size_t n) {
  size_t done = 0;
  const char* p = static_cast<const char*>(buf);
  while (done < n) {
    ssize_t w = ::write(fd_.get(), p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return {done, errno};
    }
    if (w == 0) return {done, EIO};
    done += static_cast<size_t>(w);
  }
  return {done, 0};
}

Status File::seek(uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return Status::error(EINVAL);
  if (::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return Status::from_errno();
  return {};
}

Status File::truncate(uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return Status::error(EINVAL);
  if (::ftruncate(fd_.get(), static_cast<off_t>(length)) != 0) return Status::from_errno();
  return {};
}

Result<uint64_t> File::size() const {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return Status::from_errno();
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace qorda::platform
