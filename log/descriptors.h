// Running out of file descriptors. Every operation that needs a new descriptor (accepting a
// control or data connection, making a data socket, opening a file or a directory, the store)
// reports its failures here and keeps its own reply. EMFILE (the process's limit) and ENFILE
// (the system's) are a shortage: the first failure of an episode is logged at level 1, so that
// a server that refuses work for want of descriptors says so once instead of failing quietly.
#pragma once

namespace qorda::log {

// Reports a failed operation that needed a new descriptor: `err` is its errno value and `what`
// names the operation ("accept", "file open"). True when it failed for want of descriptors.
// An episode lasts kDescriptorEpisodeMs from its first failure; the next shortage after that
// starts a new one (and logs again).
bool report_open_failure(int err, const char* what);

}  // namespace qorda::log
