// Outcomes of platform calls. Every platform function reports failure through these values;
// nothing is thrown across layers. Error codes are errno values (0 = success). "Would block" is
// an outcome a caller expects, so IoResult names it instead of treating it as a failure.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

namespace qorda::platform {

struct Status {
  int err = 0;
  std::string msg;  // optional human-readable detail (registry errors, file names); usually empty

  bool ok() const { return err == 0; }
  explicit operator bool() const { return ok(); }

  static Status success() { return {}; }
  static Status error(int e, std::string m = {}) { return Status{e == 0 ? EIO : e, std::move(m)}; }
  static Status from_errno(std::string m = {}) { return error(errno, std::move(m)); }
};

// A value or an error. T must be default-constructible (handles default to "invalid").
template <class T>
struct Result {
  T value{};
  int err = 0;
  std::string msg;

  Result() = default;
  Result(T v) : value(std::move(v)) {}  // NOLINT: implicit on purpose, `return value;`
  Result(Status s) : err(s.ok() ? EIO : s.err), msg(std::move(s.msg)) {}  // NOLINT

  bool ok() const { return err == 0; }
  explicit operator bool() const { return ok(); }
  T& operator*() { return value; }
  const T& operator*() const { return value; }
  T* operator->() { return &value; }
  const T* operator->() const { return &value; }
  Status status() const { return ok() ? Status{} : Status{err, msg}; }
};

// Result of recv/send/read/write. n bytes moved when err is 0; recv with n == 0 and err == 0 is
// an orderly close by the peer.
struct IoResult {
  size_t n = 0;
  int err = 0;

  bool ok() const { return err == 0; }
  bool would_block() const { return err == EAGAIN || err == EWOULDBLOCK; }
};

}  // namespace qorda::platform
