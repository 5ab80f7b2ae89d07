// The commands that show what a directory holds without moving a file: SIZE and MDTM of one
// file, and STAT with a path (a long listing on the control connection). LIST and NLST, which
// send their listing over the data connection, are here too.
#pragma once

#include <string>

namespace qorda::session {

class Session;

// SIZE path: 213 with the stored size of one file.
void cmd_size(Session& s, std::string& arg);
// MDTM path: 213 with the file's last-write time in local time, milliseconds included.
void cmd_mdtm(Session& s, std::string& arg);

// LIST and NLST: the listing of the argument (an optional option word, then a path) over the
// data connection; the dispatcher has checked the login.
void cmd_list(Session& s, std::string& arg);
void cmd_nlst(Session& s, std::string& arg);

// STAT with a non-empty path argument: 211- "status of ...", the long listing as bare lines,
// 211 "End of status". Answers 530 before login.
void stat_listing(Session& s, const std::string& arg);

}  // namespace qorda::session
