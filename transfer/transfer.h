// The file-transfer commands (PORT, PASV, RETR, STOR, STOU, ABOR), the default data connection
// of chkdata, and the statistics and ratio rules that transfers apply.
#pragma once

#include <cstdint>
#include <string>

namespace qorda::session {
class csock_c;
}

namespace qorda::transfer {

class dsock_c;

// Makes sure the session has a data connection: when it has none, builds an active one aimed at
// the session's data address. False (after the constructor's reply and a debug line) when that
// fails; the command then ends.
bool chkdata(session::csock_c& s);

// Command handlers, wired into the command table.
void cmd_port(session::csock_c& s, std::string& arg);
void cmd_pasv(session::csock_c& s, std::string& arg);
void cmd_retr(session::csock_c& s, std::string& arg);
void cmd_stor(session::csock_c& s, std::string& arg);
void cmd_stou(session::csock_c& s, std::string& arg);
void cmd_abor(session::csock_c& s, std::string& arg);

// Kilobytes of a byte count as the 32-bit statistics hold them (truncated, held at the limit).
uint32_t kb_of(uint64_t bytes);
// Where a transfer starts: the restart offset compared as an unsigned number with the file's
// length, the smaller of the two.
uint64_t restart_at(int64_t rest_offset, uint64_t length);

// A retrieval's charge: one file and its kilobytes added to the user's stored statistics, after
// the ratio check. False when the ratios refuse it (refused and logged; nothing written).
bool charge_download(dsock_c& d);
// Takes back exactly what charge_download wrote (nothing when it wrote nothing).
void refund_download(dsock_c& d);
// A finished upload: one file and the kilobytes received, in the session and in the store.
void credit_upload(dsock_c& d);

// Would the template's ratios refuse a retrieval? `u` and `d` are the upload and download
// counts the rule compares, `up` and `down` the rule's ratio.
bool ratio_refuses(uint32_t u, uint32_t d, uint32_t up, uint32_t down);

}  // namespace qorda::transfer
