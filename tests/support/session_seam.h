// Protocol-test helpers around a session: find the server side of a client's connection (to
// read or set what a test cannot reach through commands, such as this session's transfer
// counters), and log a client in through USER and PASS as a freshly written account.
#pragma once

#include <optional>
#include <string>

#include "session/csock.h"
#include "store/records.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {

// The session whose peer is this client; null when none.
session::csock_c* session_of(TestServer& srv, const FtpClient& c);

// Writes the account with `password` (and its template, when given) to the server's store and
// logs the client in with USER and PASS (the greeting must have been read). False, with a test
// failure naming the reply, when the login is refused.
bool log_in(TestServer& srv, FtpClient& c, const store::UserRecord& user,
            const std::optional<store::TemplateRecord>& tmpl = std::nullopt,
            const std::string& password = "secret");

}  // namespace qorda::test
