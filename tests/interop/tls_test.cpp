// FTP over TLS with real clients against `qorda serve` on the demo site, after `qorda tls init`
// and `qorda set btls 1`: curl (--ssl-reqd), lftp (TLS forced on control and data, passive and
// active), Python's ftplib.FTP_TLS with PROT P (resuming the control session on each data
// connection, as the server demands, over TLS 1.3 and 1.2, by ticket and by session id, also
// when PROT P comes after PASV; a data connection that resumes another client's session, or
// none, is refused and the session goes on) and `openssl s_client -starttls ftp` for the
// handshake itself (TLS 1.2 and 1.3 accepted, 1.1 refused); plain text sent behind AUTH TLS is
// never taken as protected.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/interop/demo_site.h"

namespace qorda::test {
namespace {

// Python's repr() of a short ASCII text as bytes: b'...' with \n escaped.
std::string repr_of(const std::string& text) {
  std::string out = "b'";
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out + "'";
}

class TlsSite : public DemoSite {
 protected:
  void SetUp() override {
    DemoSite::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(srv->stop(), 0) << srv->output();
    std::filesystem::create_directories(drive() + "/upload");
    qorda_cli(site(), "tls init");
    qorda_cli(site(), "set btls 1");
    qorda_cli(site(), "set ilogls 6");
    srv = std::make_unique<ServeChild>(site(), "--port " + std::to_string(port));
    ASSERT_TRUE(srv->wait_up()) << srv->output();
  }

  std::string run(const std::string& cmd, int* code) {
    int st = -1;
    std::string out = run_command(cmd, &st);
    *code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
  }
};

TEST_F(TlsSite, CurlListsDownloadsAndUploadsOverTls) {
  if (!have_program("curl")) GTEST_SKIP() << "curl is not installed";
  const std::string curl = "curl -sS --max-time 30 --ssl-reqd -k ";
  const std::string up = pattern_bytes(400000, 7);
  spit(work.path() + "/up.bin", up);
  int code = -1;
  std::string out = run(curl + "-v --list-only " + url("/pub/"), &code);
  ASSERT_EQ(code, 0) << out;
  EXPECT_TRUE(in_order(out, {"< 234 AUTH", "> PBSZ 0", "< 200 PBSZ=0", "> PROT P",
                             "< 200 Protection level set to Private.", "< 226 Transfer Complete."}))
      << out;
  EXPECT_NE(out.find("\nbig.bin"), std::string::npos) << out;
  // A download and an upload, every byte through TLS. (Active mode is lftp's below: curl 7.88
  // never starts TLS on an active data connection it accepted.)
  out = run(curl + "-o '" + work.path() + "/down.bin' " + url("/pub/big.bin"), &code);
  ASSERT_EQ(code, 0) << out;
  EXPECT_TRUE(slurp(work.path() + "/down.bin") == slurp(drive() + "/pub/big.bin"));
  out = run(curl + "-T '" + work.path() + "/up.bin' " + url("/upload/tls.bin"), &code);
  ASSERT_EQ(code, 0) << out;
  EXPECT_TRUE(slurp(drive() + "/upload/tls.bin") == up);
  // The log names the negotiated version for the control and the data connections.
  EXPECT_TRUE(srv->wait_for("] TLS established (TLSv1.3)")) << srv->output();
  EXPECT_TRUE(srv->wait_for("] Data connection TLS established (TLSv1.3)")) << srv->output();
}

TEST_F(TlsSite, LftpForcesTlsOnControlAndData) {
  if (!have_program("lftp")) GTEST_SKIP() << "lftp is not installed";
  const std::string up = pattern_bytes(250000, 9);
  spit(work.path() + "/up.bin", up);
  int code = -1;
  const std::string out =
      run("lftp -d -u writer,Wr1te-me -p " + std::to_string(port) +
              " -e \"set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 10; "
              "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
              "set ssl:verify-certificate no; cls -1 pub; get pub/big.bin -o '" +
              work.path() + "/big.bin'; set ftp:passive-mode off; put '" + work.path() +
              "/up.bin' -o upload/lftp.bin; bye\" 127.0.0.1",
          &code);
  ASSERT_EQ(code, 0) << out;
  // FEAT now lists what the server offers, and nothing else.
  EXPECT_TRUE(in_order(out, {"---> FEAT", "<--- 211-Features:", "<---  AUTH TLS", "<---  PBSZ",
                             "<---  PROT", "<--- 211 End", "---> AUTH TLS", "<--- 234 ",
                             "---> PROT P", "<--- 200 Protection level set to Private."}))
      << out;
  EXPECT_NE(out.find("\npub/big.bin\n"), std::string::npos) << out;
  EXPECT_TRUE(slurp(work.path() + "/big.bin") == slurp(drive() + "/pub/big.bin"));
  // The upload went through an active data connection, protected as well.
  EXPECT_TRUE(in_order(
      out, {"---> PORT 127,0,0,1,", "---> STOR upload/lftp.bin", "<--- 226 Transfer Complete."}))
      << out;
  EXPECT_TRUE(slurp(drive() + "/upload/lftp.bin") == up);
}

TEST_F(TlsSite, FtplibResumesTheSessionAndIsRefusedWhenItDoesNot) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  spit(work.path() + "/tls.py", R"PY(import ftplib, io, socket, ssl, sys
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE

class Resuming(ftplib.FTP_TLS):
    # The data connection resumes the control connection's TLS session.
    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size

port = int(sys.argv[1])
# TLS 1.3, TLS 1.2 with tickets, TLS 1.2 with session ids only: each resumes its own session.
for version, tickets in ((ssl.TLSVersion.TLSv1_3, True), (ssl.TLSVersion.TLSv1_2, True),
                         (ssl.TLSVersion.TLSv1_2, False)):
    vctx = ssl.create_default_context()
    vctx.check_hostname = False
    vctx.verify_mode = ssl.CERT_NONE
    vctx.maximum_version = version
    if not tickets:
        vctx.options |= ssl.OP_NO_TICKET
    f = Resuming(context=vctx)
    f.connect('127.0.0.1', port)
    f.login('writer', 'Wr1te-me')   # AUTH TLS first
    print(f.prot_p())
    got = io.BytesIO()
    f.retrbinary('RETR /pub/big.bin', got.write)
    print('retr', len(got.getvalue()))
    f.storbinary('STOR /upload/py.bin', io.BytesIO(b'py' * 60000))
    print('list', sorted(f.nlst('/upload')))
    # REIN closes TLS in both directions; the connection is plain text again.
    print(f.sendcmd('REIN'))
    f.sock = f.sock.unwrap()
    f.file = f.sock.makefile('r', encoding='latin-1')
    print('plain', f.sendcmd('USER writer'))
    f.close()

# PROT P after PASV (the connection already made in clear) still protects the transfer.
p = Resuming(context=ctx)
p.connect('127.0.0.1', port)
p.login('writer', 'Wr1te-me')
p.sendcmd('PBSZ 0')
host, dport = ftplib.parse227(p.sendcmd('PASV'))
raw = socket.create_connection(('127.0.0.1', dport), timeout=20)
print(p.sendcmd('PROT P'))
p.putcmd('RETR /pub/hello.txt')
print(p.getresp())
conn = ctx.wrap_socket(raw, server_hostname='127.0.0.1', session=p.sock.session)
print('late prot', conn.recv(100), conn.version())
conn.unwrap()
conn.close()
print(p.getresp())
# And PROT C after PASV: the connection made next is clear.
host, dport = ftplib.parse227(p.sendcmd('PASV'))
print(p.sendcmd('PROT C'))
raw = socket.create_connection(('127.0.0.1', dport), timeout=20)
p.putcmd('RETR /pub/hello.txt')
print(p.getresp())
print('clear again', raw.recv(100))
raw.close()
print(p.getresp())
p.quit()

# Another client's session resumes, but it is not this control connection's: refused.
a = Resuming(context=ctx)
a.connect('127.0.0.1', port)
a.login('writer', 'Wr1te-me')
a.prot_p()
a.nlst('/pub')

class Borrowing(ftplib.FTP_TLS):
    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        conn = self.context.wrap_socket(conn, server_hostname=self.host, session=a.sock.session)
        print('borrowed session resumed', conn.session_reused)
        return conn, size

b = Borrowing(context=ctx)
b.connect('127.0.0.1', port)
b.login('writer', 'Wr1te-me')
b.prot_p()
try:
    b.nlst('/pub')
except ftplib.error_perm as e:
    print('refused', e)
b.quit()
a.quit()

g = ftplib.FTP_TLS(context=ctx)   # the stock class: no session resumption
g.connect('127.0.0.1', port)
g.login('writer', 'Wr1te-me')
g.prot_p()
try:
    g.nlst('/pub')
except ftplib.error_perm as e:
    print('refused', e)
print(g.prot_c())
print('clear', len(g.nlst('/pub')))
g.quit()
)PY");
  int code = -1;
  const std::string out =
      run("timeout 60 python3 '" + work.path() + "/tls.py' " + std::to_string(port), &code);
  ASSERT_EQ(code, 0) << out;
  const std::string refused =
      "refused 522 Data connection refused: it must resume the control connection's TLS "
      "session.\n";
  std::vector<std::string> steps;
  for (int i = 0; i < 3; ++i) {
    for (const char* step : {"200 Protection level set to Private.\n", "retr 300000\n",
                             "list ['py.bin']\n", "220 ", "plain 331 "}) {
      steps.push_back(step);
    }
  }
  for (const std::string& step :
       {std::string("200 Protection level set to Private.\n150 "),
        "late prot " + repr_of(slurp(drive() + "/pub/hello.txt")) + " TLSv1.3\n",
        std::string("226 Transfer Complete.\n200 Protection level set to Clear.\n150 "),
        "clear again " + repr_of(slurp(drive() + "/pub/hello.txt")) + "\n",
        std::string("226 Transfer Complete.\n")}) {
    steps.push_back(step);
  }
  for (const std::string& step :
       {std::string("borrowed session resumed True\n"), refused, refused,
        std::string("200 Protection level set to Clear.\n"), std::string("clear ")}) {
    steps.push_back(step);
  }
  EXPECT_TRUE(in_order(out, steps)) << out;
  EXPECT_EQ(slurp(drive() + "/upload/py.bin").size(), 120000u);
  EXPECT_TRUE(srv->wait_for("Data connection TLS refused: it did not resume")) << srv->output();
}

TEST_F(TlsSite, OpensslStarttlsNegotiatesTls12And13Only) {
  if (!have_program("openssl")) GTEST_SKIP() << "openssl is not installed";
  const std::string base =
      "echo QUIT | timeout 20 openssl s_client -brief -starttls ftp "
      "-connect 127.0.0.1:" +
      std::to_string(port) + " ";
  int code = -1;
  std::string out = run(base + "2>&1", &code);
  EXPECT_NE(out.find("Protocol version: TLSv1.3"), std::string::npos) << out;
  out = run(base + "-tls1_2 2>&1", &code);
  EXPECT_NE(out.find("Protocol version: TLSv1.2"), std::string::npos) << out;
  out = run(base + "-tls1_1 -cipher DEFAULT@SECLEVEL=0 2>&1", &code);
  EXPECT_NE(code, 0) << out;
  EXPECT_EQ(out.find("Protocol version"), std::string::npos) << out;
  EXPECT_TRUE(srv->wait_for("] TLS established (TLSv1.2)")) << srv->output();
  EXPECT_TRUE(srv->wait_for("] TLS handshake failed: ")) << srv->output();
}

TEST_F(TlsSite, PlainTextBehindAuthIsNeverTakenAsProtected) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  spit(work.path() + "/inject.py", R"PY(import socket, ssl, sys
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
seen = set()
for attempt in range(20):   # however fast the handshake completes
    s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=20)
    f = s.makefile('rb')
    while f.readline()[:4] != b'220 ':
        pass
    s.sendall(b'AUTH TLS\r\nSYST\r\n')   # SYST rides behind AUTH, in plain text
    seen.add('auth ' + f.readline().decode().strip())
    t = ctx.wrap_socket(s)
    tf = t.makefile('rb')
    t.sendall(b'PWD\r\n')
    seen.add('first ' + tf.readline().decode().strip())
    t.close()
print('\n'.join(sorted(seen)))
)PY");
  int code = -1;
  const std::string out =
      run("timeout 60 python3 '" + work.path() + "/inject.py' " + std::to_string(port), &code);
  ASSERT_EQ(code, 0) << out;
  // The first protected reply answers PWD: SYST was dropped, not answered inside TLS.
  EXPECT_EQ(out,
            "auth 234 AUTH TLS successful; start the TLS handshake.\n"
            "first 530 Please login with USER and PASS.\n");
}

}  // namespace
}  // namespace qorda::test
