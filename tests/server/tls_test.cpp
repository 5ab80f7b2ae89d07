// FTP over TLS on the in-process engine, where the clock is injected: with btls 0 the TLS
// commands are unknown as they always were; with it on, the command rules (PBSZ and PROT order,
// FEAT, brequiretls, brequiretlsdata), a certificate that cannot be loaded, and the sessions that
// start a handshake badly (stall, garbage), each ended alone while another client is served.
#include "platform/tls.h"

#include <gtest/gtest.h>

#include <string>

#include "store/settings.h"
#include "tests/support/ftp_client.h"
#include "tests/support/session_seam.h"

namespace qorda::test {
namespace {

// Whether some screen line contains `text`.
bool logged(const TestServer& srv, const std::string& text) {
  for (const std::string& l : srv.observer.lines) {
    if (l.find(text) != std::string::npos) return true;
  }
  return false;
}

int count_logged(const TestServer& srv, const std::string& text) {
  int n = 0;
  for (const std::string& l : srv.observer.lines) n += l.find(text) != std::string::npos;
  return n;
}

TEST(TlsOff, TlsCommandsAreUnknownAsBefore) {
  TestServer srv;  // btls 0, the default
  FtpClient c(srv);
  c.reply();
  EXPECT_EQ(c.cmd("AUTH TLS"), "500 'AUTH': command not understood.");
  EXPECT_EQ(c.cmd("AUTH SSL"), "500 'AUTH': command not understood.");
  EXPECT_EQ(c.cmd("PBSZ 0"), "500 'PBSZ': command not understood.");
  EXPECT_EQ(c.cmd("PROT P"), "500 'PROT': command not understood.");
  EXPECT_EQ(c.cmd("FEAT"), "500 'FEAT': command not understood.");
  // brequiretls and brequiretlsdata mean nothing while TLS is off.
  store::settings().brequiretls = 1;
  EXPECT_EQ(c.cmd("USER nobody"), "331 Password required for nobody.");
}

class TlsOn : public ::testing::Test {
 protected:
  // A certificate made in the home; `bad_cert` names a file that does not exist instead, from
  // the start.
  void start(bool bad_cert = false, uint32_t require = 0, uint32_t require_data = 0) {
    srv = std::make_unique<TestServer>([&](store::ServerSettings& s) {
      s.btls = 1;
      s.imaxt = 30;
      s.brequiretls = require;
      s.brequiretlsdata = require_data;
      if (bad_cert) {
        s.sztlscert = "/nonexistent/missing.pem";
        s.sztlskey = "/nonexistent/missing.key";
      }
    });
    if (bad_cert) return;
    const std::string cert = srv->home() + "/cert.pem", key = srv->home() + "/key.pem";
    ASSERT_TRUE(platform::make_self_signed(cert, key, "test.host").ok());
    store::settings().sztlscert = cert;
    store::settings().sztlskey = key;
  }
  std::unique_ptr<TestServer> srv;
};

TEST_F(TlsOn, CommandRulesAndFeatures) {
  start();
  FtpClient c(*srv);
  c.reply();
  EXPECT_EQ(c.cmd("FEAT"), "211-Features:\n AUTH TLS\n PBSZ\n PROT\n211 End");
  EXPECT_EQ(c.cmd("PBSZ 0"), "503 PBSZ needs AUTH TLS first.");
  EXPECT_EQ(c.cmd("PROT P"), "503 PROT needs AUTH TLS and PBSZ first.");
  EXPECT_EQ(c.cmd("AUTH"), "501 'AUTH': command not understood.");
  EXPECT_EQ(c.cmd("AUTH KERBEROS_V4"), "504 AUTH KERBEROS_V4 is not supported (AUTH TLS is).");
  // The plain-text session is unchanged otherwise.
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(TlsOn, RequiredTlsRefusesUserAndUnprotectedTransfers) {
  start(false, 1, 0);
  FtpClient c(*srv);
  c.reply();
  EXPECT_EQ(c.cmd("USER alice"), "530 TLS is required: send AUTH TLS before USER.");
  srv.reset();

  start(false, 0, 1);
  FtpClient d(*srv);
  connect_logged_in(*srv, d);
  EXPECT_EQ(d.cmd("RETR anything"), "521 Data connections must be protected: send PROT P first.");
  EXPECT_EQ(d.cmd("LIST"), "521 Data connections must be protected: send PROT P first.");
  EXPECT_EQ(srv->net().data_route_count(), 0u);  // no data connection was made
}

TEST_F(TlsOn, UnloadableCertificateRefusesAuthAndSaysWhyOnce) {
  start(true);
  // Said when the server starts, before any client asks.
  EXPECT_EQ(count_logged(*srv, "error: TLS is not available: certificate \""), 1);
  FtpClient c(*srv);
  c.reply();
  const std::string refused = "431 TLS is not available: the server's certificate can't be loaded.";
  EXPECT_EQ(c.cmd("AUTH TLS"), refused);
  EXPECT_EQ(c.cmd("AUTH TLS"), refused);
  EXPECT_EQ(count_logged(*srv, "error: TLS is not available: certificate \""), 1);
  EXPECT_TRUE(logged(*srv, "missing.pem")) << srv->observer.lines.back();
  // The session carries on in plain text.
  EXPECT_EQ(c.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(TlsOn, GarbageInsteadOfClientHelloEndsOnlyThatSession) {
  start();
  FtpClient bad(*srv), good(*srv);
  bad.reply();
  good.reply();
  EXPECT_EQ(bad.cmd("AUTH TLS"), "234 AUTH TLS successful; start the TLS handshake.");
  ASSERT_TRUE(bad.send_raw("GET / HTTP/1.0\r\n\r\nthis is no ClientHello at all\r\n"));
  // Nothing is sent back in plain text: the connection just ends.
  EXPECT_EQ(bad.read_until_close(), "");
  EXPECT_TRUE(logged(*srv, "] TLS handshake failed: ")) << srv->observer.lines.back();
  EXPECT_TRUE(logged(*srv, "Disconnected. (TLS handshake failed)"));
  EXPECT_EQ(good.cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(TlsOn, StalledHandshakeIsTimedOutWithoutHoldingOthers) {
  start();
  FtpClient stalled(*srv), other(*srv);
  stalled.reply();
  other.reply();
  EXPECT_EQ(stalled.cmd("AUTH SSL"), "234 AUTH SSL successful; start the TLS handshake.");
  // The first bytes of a ClientHello record, and then nothing.
  ASSERT_TRUE(stalled.send_raw(std::string("\x16\x03\x01\x02\x00\x01\x00", 7)));
  for (int i = 0; i < 20; ++i) srv->pump(1);
  // Meanwhile the other client is served, and a new one is greeted.
  EXPECT_EQ(other.cmd("NOOP"), "200 NOOP command successful.");
  FtpClient late(*srv);
  EXPECT_EQ(late.reply().substr(0, 4), "220 ");
  srv->advance_and_tick(20000);
  EXPECT_EQ(other.cmd("NOOP"), "200 NOOP command successful.");
  EXPECT_EQ(late.cmd("NOOP"), "200 NOOP command successful.");
  srv->advance_and_tick(10001);               // 30 s since the stalled client's AUTH
  EXPECT_EQ(stalled.read_until_close(), "");  // no plain-text 421 inside a handshake
  EXPECT_TRUE(logged(*srv, "Disconnected. (idle timeout)"));
  EXPECT_EQ(srv->net().client_count(), 2);
  EXPECT_EQ(other.cmd("NOOP"), "200 NOOP command successful.");
}

}  // namespace
}  // namespace qorda::test
