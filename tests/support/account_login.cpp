#include "tests/support/account_login.h"

#include <gtest/gtest.h>

#include "store/password.h"

namespace qorda::test {

bool login_as(TestServer& srv, FtpClient& c, const store::UserRecord& user,
              const std::optional<store::TemplateRecord>& tmpl, const std::string& password) {
  store::UserRecord stored = user;
  stored.szpass = store::encode_password(password);
  if (tmpl) stored.sztemp = store::template_ref(tmpl->name);
  if (!store::write_user(srv.reg(), stored, true, store::kCountAll)) return false;
  if (tmpl && !store::write_template(srv.reg(), *tmpl)) return false;
  const std::string u = c.cmd("USER " + user.name);
  const std::string p = c.cmd("PASS " + password);
  const bool ok = p.rfind("230", 0) == 0 || p.find("\n230 ") != std::string::npos;
  EXPECT_TRUE(ok) << u << "\n" << p;
  return ok;
}

}  // namespace qorda::test
