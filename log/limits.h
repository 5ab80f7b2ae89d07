// Fixed sizes of the logging layer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorda::log {

// Formatting buffer of one log line's text (without its time and id prefix). Longer texts are
// cut to kLogBufferSize - 1 bytes.
inline constexpr size_t kLogBufferSize = 2048;

// Lines the screen log keeps; the oldest goes first.
inline constexpr size_t kScreenLogMaxLines = 500;

// SECURITY: how long one episode of running out of descriptors lasts (log/descriptors.h). A
// client that keeps the server at its limit cannot flood the log: a shortage is logged at most
// once in this time, however many operations it makes fail.
inline constexpr uint32_t kDescriptorEpisodeMs = 60000;

// Width of the user-name column of a client-list line.
inline constexpr int kClientListUserWidth = 9;

}  // namespace qorda::log
