// Logging a protocol-test client in the way a real client does: the account (and its template)
// written to the server's store, then USER and PASS.
#pragma once

#include <optional>
#include <string>

#include "store/records.h"
#include "tests/support/ftp_client.h"

namespace qorda::test {

// Writes the account with `password` (and its template, when given) and logs the client in
// with USER and PASS; the greeting must have been read. False, with a test failure naming the
// replies, when the login is refused.
bool login_as(TestServer& srv, FtpClient& c, const store::UserRecord& user,
              const std::optional<store::TemplateRecord>& tmpl = std::nullopt,
              const std::string& password = "secret");

}  // namespace qorda::test
