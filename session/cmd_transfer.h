// The file-transfer commands (PORT, PASV, RETR, STOR, STOU, ABOR) and the statistics and ratio
// rules that transfers apply to the session and to the user's stored counters.
#pragma once

#include <cstdint>
#include <string>

namespace qorda::transfer {
class DataConnection;
}

namespace qorda::session {

class Session;

// Command handlers, wired into the command table.
void cmd_port(Session& s, std::string& arg);
void cmd_pasv(Session& s, std::string& arg);
void cmd_retr(Session& s, std::string& arg);
void cmd_stor(Session& s, std::string& arg);
void cmd_stou(Session& s, std::string& arg);
void cmd_abor(Session& s, std::string& arg);

// A retrieval's charge: one file and the kilobytes of its size `total` added to the user's
// stored statistics, after the ratio check; `d` remembers that it was charged. False when the
// ratios refuse it (refused and logged for `path`; nothing written).
bool charge_download(Session& s, transfer::DataConnection& d, const std::string& path,
                     uint64_t total);
// Takes back exactly what charge_download wrote (nothing when it wrote nothing).
void refund_download(Session& s, transfer::DataConnection& d);
// A finished upload: one file and the kilobytes received, in the session and in the store.
void credit_upload(Session& s, const transfer::DataConnection& d);

}  // namespace qorda::session
