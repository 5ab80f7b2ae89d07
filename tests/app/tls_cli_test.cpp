// `qorda tls`, the TLS settings through `qorda get/set`, and what `qorda check` says of TLS, run
// as the administrator runs them against a temporary home.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int code = -1;
  std::string out, err;
};

class TlsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/qorda-tls-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    home_ = dir_ + "/home";
    ASSERT_EQ(qorda({"init"}).code, 0);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  Outcome qorda(const std::vector<std::string>& args) {
    std::string cmd = quote(QORDA_BINARY) + " --home " + quote(home_);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(dir_ + "/out") + " 2>" + quote(dir_ + "/err");
    Outcome r;
    int st = std::system(cmd.c_str());
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(dir_ + "/out");
    r.err = slurp(dir_ + "/err");
    return r;
  }
  std::string dir_, home_;
};

TEST_F(TlsCli, SettingsAreRangeCheckedAndReadBack) {
  for (const char* flag : {"btls", "brequiretls", "brequiretlsdata"}) {
    Outcome r = qorda({"get", flag});
    EXPECT_EQ(r.out, std::string(flag) + "=0\n") << flag;
    r = qorda({"set", flag, "2"});
    EXPECT_EQ(r.code, 2) << flag;
    EXPECT_EQ(r.err, std::string("qorda set: ") + flag + " must be 0 or 1\n");
    EXPECT_EQ(qorda({"set", flag, "1"}).code, 0) << flag;
    EXPECT_EQ(qorda({"get", flag}).out, std::string(flag) + "=1\n") << flag;
  }
  EXPECT_EQ(qorda({"set", "sztlscert", "d:\\certs\\site.pem"}).code, 0);
  EXPECT_EQ(qorda({"get", "SZTLSCERT"}).out, "sztlscert=d:\\\\certs\\\\site.pem\n");
  // The full listing is the classic one; `qorda tls` lists the TLS values.
  EXPECT_EQ(qorda({"get"}).out.find("tls"), std::string::npos);
  Outcome shown = qorda({"tls"});
  EXPECT_NE(shown.out.find("btls=1\nsztlscert=d:\\certs\\site.pem\n"), std::string::npos)
      << shown.out;
}

TEST_F(TlsCli, InitMakesAPrivateKeyAndACertificateThatLoad) {
  Outcome r = qorda({"tls", "init"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string cert = home_ + "/tls-cert.pem", key = home_ + "/tls-key.pem";
  struct stat st {};
  ASSERT_EQ(::stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(slurp(cert).rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
  EXPECT_EQ(qorda({"get", "sztlscert"}).out, "sztlscert=" + cert + "\n");
  EXPECT_EQ(qorda({"get", "sztlskey"}).out, "sztlskey=" + key + "\n");
  EXPECT_NE(r.out.find("TLS is off: 'qorda set btls 1' turns it on."), std::string::npos);
  // The host name is the certificate's common name.
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_NE(r.out.find(std::string("(CN=") + host + ", self-signed)"), std::string::npos) << r.out;
  EXPECT_EQ(qorda({"tls", "show"}).code, 0);

  // A key is never replaced silently.
  const std::string before = slurp(key);
  r = qorda({"tls", "init"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("exists already (--force replaces them)"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(key), before);
  EXPECT_EQ(qorda({"tls", "init", "--force"}).code, 0);
  EXPECT_NE(slurp(key), before);
  EXPECT_EQ(qorda({"tls", "bogus"}).code, 2);
}

TEST_F(TlsCli, CheckReportsACertificateThatCannotBeLoaded) {
  ASSERT_EQ(
      qorda({"user", "add", "alice", "--password", "Secret1", "--perm", "[u] rwdlcxhms /c:/"}).code,
      0);
  // TLS off: no word about it.
  Outcome r = qorda({"check", "alice"});
  EXPECT_EQ(r.out.find("tls:"), std::string::npos) << r.out;
  ASSERT_EQ(qorda({"set", "btls", "1"}).code, 0);
  ASSERT_EQ(qorda({"set", "sztlscert", home_ + "/nothing.pem"}).code, 0);
  ASSERT_EQ(qorda({"set", "sztlskey", home_ + "/nothing.key"}).code, 0);
  r = qorda({"check", "alice"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("tls:      AUTH TLS is refused (431): certificate \"" + home_ +
                       "/nothing.pem\": "),
            std::string::npos)
      << r.out;
  EXPECT_EQ(qorda({"tls", "show"}).code, 1);
  // Required but not available: nobody could log in.
  ASSERT_EQ(qorda({"set", "brequiretls", "1"}).code, 0);
  r = qorda({"check", "alice"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("login:    refused (TLS required but not available)"), std::string::npos)
      << r.out;
  // Once the pair exists the check says so.
  ASSERT_EQ(qorda({"tls", "init"}).code, 0);
  r = qorda({"check", "alice"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("tls:      AUTH TLS required before USER (the certificate and key load)"),
            std::string::npos)
      << r.out;
}

}  // namespace
