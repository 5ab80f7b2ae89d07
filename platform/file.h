// An open file on a drive: move-only, closed by its destructor, 64-bit offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/fd.h"
#include "platform/result.h"

namespace qorda::platform {

class File {
 public:
  File() = default;
  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // An existing regular file of a drive path, for reading. EISDIR for a directory.
  static Result<File> open_read(std::string_view path);
  // A regular file of a drive path for writing, created (mode 0644 less umask) when missing and
  // never truncated here (the caller cuts it at its restart offset).
  static Result<File> open_write(std::string_view path);
  // A second, independent read handle on a file this process already has open (the server's own
  // log file): its own offset, so reading never disturbs the writer.
  static Result<File> reopen_read(int fd);

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  IoResult read(void* buf, size_t n);
  // Writes all n bytes (retrying short writes); n less on error with err set.
  IoResult write(const void* buf, size_t n);
  Status seek(uint64_t offset);
  Status truncate(uint64_t length);
  Result<uint64_t> size() const;

 private:
  explicit File(int fd) : fd_(fd) {}
  UniqueFd fd_;  // owned
};

}  // namespace qorda::platform
