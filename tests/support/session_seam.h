// A test-only way into a session: find the server side of a client's connection and log it in
// without USER and PASS, with the state a login builds (account and template copies, the
// file-system view, the home as current directory). Protocol tests of the commands that need a
// login use it; the server itself has no such door.
#pragma once

#include <optional>
#include <string>

#include "session/csock.h"
#include "store/records.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {

// The session whose peer is this client; null when none.
session::csock_c* session_of(TestServer& srv, const FtpClient& c);

// Writes the account (and its template, when given) to the server's store and logs the
// client's session in as that user. False when the session or the view cannot be made.
bool log_in(TestServer& srv, const FtpClient& c, const store::UserRecord& user,
            const std::optional<store::TemplateRecord>& tmpl = std::nullopt);

}  // namespace qorda::test
