// Fixed names, sizes and times of the control channel.
#pragma once

#include <cstddef>

namespace qorda::control {

// The control socket's name in the home.
inline constexpr const char* kSocketName = "qorda.sock";

// SECURITY: a local client must not make the server hold more than a few bounded buffers. A
// request line longer than this is refused and the connection dropped without reading on.
inline constexpr size_t kMaxRequestBytes = 256;
// Control connections at one time; one more is told so and dropped at once.
inline constexpr size_t kMaxClients = 16;
// Log lines a follower has not taken yet; past this it is dropped with an error line.
inline constexpr size_t kMaxFollowPendingBytes = 256 * 1024;
// Bytes taken from a socket per read event.
inline constexpr size_t kReadChunkBytes = 4096;
// Pending connections the listening socket queues.
inline constexpr int kBacklog = 16;

// The client: how long it waits for an answer, and for the server to end after `stop`.
inline constexpr int kAnswerWaitMs = 10000;
inline constexpr int kStopWaitMs = 60000;
// The biggest answer line the client takes (a `who` of many connections is a long line).
inline constexpr size_t kMaxAnswerLineBytes = 16 * 1024 * 1024;

}  // namespace qorda::control
