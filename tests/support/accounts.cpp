#include "tests/support/accounts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "session/defs.h"
#include "store/password.h"

namespace qorda::test {

store::UserRecord add_user(platform::Registry& reg, const std::string& name,
                           const std::string& password, const std::string& szfp) {
  store::UserRecord u;
  u.name = name;
  u.szpass = store::encode_password(password);
  u.szfp = szfp;
  save_user(reg, u);
  return u;
}

store::UserRecord add_guest(platform::Registry& reg, const std::string& name,
                            const std::string& szfp) {
  store::UserRecord u;
  u.name = name;
  u.bguest = true;
  u.szfp = szfp;
  save_user(reg, u);
  return u;
}

void save_user(platform::Registry& reg, const store::UserRecord& u) {
  EXPECT_TRUE(store::write_user(reg, u, {.main_fields = true, .counters = store::kCountAll}).ok())
      << u.name;
}

std::string make_dir(const TestServer& srv, const std::string& rel) {
  std::string p = srv.home() + "/c/" + rel;
  std::error_code ec;
  std::filesystem::create_directories(p, ec);
  EXPECT_FALSE(ec) << p;
  return p;
}

std::string write_file(const TestServer& srv, const std::string& rel, const std::string& bytes) {
  std::string p = srv.home() + "/c/" + rel;
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << bytes;
  EXPECT_TRUE(f.good()) << p;
  return p;
}

bool exists(const TestServer& srv, const std::string& rel) {
  std::error_code ec;
  return std::filesystem::exists(srv.home() + "/c/" + rel, ec);
}

std::string login(FtpClient& c, const std::string& user, const std::string& password) {
  c.reply();
  std::string r = c.cmd("USER " + user);
  if (r.rfind("331 ", 0) != 0) return r;
  return c.cmd("PASS " + password);
}

namespace {

size_t refusals(const TestServer& srv) {
  size_t n = 0;
  for (const std::string& l : srv.observer.lines) n += l.find("can't log in.") != l.npos;
  return n;
}

}  // namespace

std::string refused_pass(TestServer& srv, FtpClient& c, const std::string& line) {
  const size_t before = refusals(srv);
  if (!c.send_line(line)) return "";
  for (int i = 0; i < 2000 && refusals(srv) == before; ++i) srv.pump(5);
  if (refusals(srv) == before) return "";
  srv.advance_and_tick(session::kFailedLoginDelayMs);
  return c.reply();
}

}  // namespace qorda::test
