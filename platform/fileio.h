// Whole-file helpers for the command-line tools: bounded reads, complete writes, files replaced
// atomically, directories created with their parents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace qorda::platform {

inline constexpr int kStdinFd = 0;
inline constexpr int kStdoutFd = 1;

// Reads descriptor fd (left open) to its end. EFBIG, with nothing kept, when it holds more than
// max_bytes.
Result<std::string> read_all_bounded(int fd, size_t max_bytes);
// The same for the file at path.
Result<std::string> read_file_bounded(const std::string& path, size_t max_bytes);

// Writes every byte to fd, across short writes and interrupted calls.
Status write_all(int fd, std::string_view data);

// Replaces the file at path with data: it is written to a new file beside path, flushed to disk
// and renamed over path, so path holds the old contents or the new, never a part. The new file
// gets the permission bits `mode`.
Status replace_file(const std::string& path, std::string_view data, unsigned mode);

// Creates the file at path with data and the permission bits `mode`, only when no file of that
// name exists (EEXIST then, and the existing file is left untouched). A failed write removes the
// new file again, so path never holds a part.
Status create_new_file(const std::string& path, std::string_view data, unsigned mode);

// Creates the directory path and any missing parents with the permission bits `mode`;
// directories that already exist are left as they are.
Status make_directories(const std::string& path, unsigned mode);

// The user id that owns the file or directory at path (symbolic links followed); the system's
// error (ENOENT, EACCES, ...) when it cannot be looked at.
Result<uint32_t> owner_of(const std::string& path);
// The user id this process acts as.
uint32_t effective_uid();
// The login name of a user id; empty when the system knows none.
std::string user_name(uint32_t uid);

}  // namespace qorda::platform
