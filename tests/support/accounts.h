// Accounts for protocol tests: users and templates written straight into a test store, local
// directories under a drive, and logging a client in.
#pragma once

#include <string>

#include "platform/registry.h"
#include "store/records.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {

// Writes a user whose password is `password` (stored encoded) and whose permission lines are
// `szfp` (LF separated). Returns the record as written, for further changes.
store::UserRecord add_user(platform::Registry& reg, const std::string& name,
                           const std::string& password, const std::string& szfp);
// Writes a guest account (any password is its e-mail address).
store::UserRecord add_guest(platform::Registry& reg, const std::string& name,
                            const std::string& szfp);
// Writes the record again (after changing it).
void save_user(platform::Registry& reg, const store::UserRecord& u);

// Creates a directory (and its parents) below the test server's drive c; `rel` like "ftp/pub".
// Returns its local path.
std::string make_dir(const TestServer& srv, const std::string& rel);
// Writes a file below drive c with the given bytes; returns its local path.
std::string write_file(const TestServer& srv, const std::string& rel, const std::string& bytes);
bool exists(const TestServer& srv, const std::string& rel);

// Reads the greeting, then USER and PASS; returns PASS's reply (joined lines).
std::string login(FtpClient& c, const std::string& user, const std::string& password);

// Sends a password line that the server refuses and returns the reply, which the server holds
// back for the failed-login delay: once the refusal is logged, the engine clock is moved past it.
std::string refused_pass(TestServer& srv, FtpClient& c, const std::string& line);

}  // namespace qorda::test
