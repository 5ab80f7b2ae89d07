// A file on its way into the server, for the live windows' tests: a client logged in with USER
// and PASS, a passive data connection and a STOR whose bytes have all arrived while the data
// connection stays open, so the transfer is still in progress.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/socket.h"
#include "tests/admin/gui_support.h"
#include "tests/support/accounts.h"

namespace qorda::test {

class UploadPeer {
 public:
  explicit UploadPeer(GuiServer& srv) : srv_(srv) {}

  // Writes the account and logs the client in (the greeting not yet read). False on refusal.
  bool log_in(FtpClient& c, const std::string& user) {
    add_user(srv_.control().store(), user, "secret", "[u] rwdlcxhms /c:/");
    const std::string r = login(c, user, "secret");
    EXPECT_EQ(r.rfind("230 ", 0), 0u) << r;
    return r.rfind("230 ", 0) == 0;
  }

  // PASV, STOR `name`, then `bytes` on the data connection, pumping until the connection `id`
  // shows them all.
  bool start(FtpClient& c, uint32_t id, const std::string& name, const std::string& bytes) {
    const std::string pasv = c.cmd("PASV");
    unsigned f[6] = {};
    const size_t open = pasv.find('(');
    if (open == std::string::npos || std::sscanf(pasv.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &f[0],
                                                 &f[1], &f[2], &f[3], &f[4], &f[5]) != 6) {
      ADD_FAILURE() << pasv;
      return false;
    }
    auto s = platform::Socket::tcp(nullptr);
    if (!s.ok() ||
        !s->connect(platform::SockAddr::loopback(static_cast<uint16_t>((f[4] << 8) | f[5]))).ok()) {
      ADD_FAILURE() << "data connection";
      return false;
    }
    data_ = std::move(*s);
    if (!c.send_line("STOR " + name)) return false;
    const std::string r = c.reply();
    if (r.rfind("150 ", 0) != 0) {
      ADD_FAILURE() << r;
      return false;
    }
    size_t sent = 0;
    for (int i = 0; i < 4000 && sent < bytes.size(); ++i) {
      platform::IoResult w = data_.send(bytes.data() + sent, bytes.size() - sent);
      if (w.ok()) sent += w.n;
      srv_.pump();
    }
    return srv_.pump_until([&] {
      auto v = srv_.control().connection(id);
      return v && v->position == bytes.size();
    });
  }

  // Ends the upload: the client closes the data connection.
  void finish() { data_.close(); }

 private:
  GuiServer& srv_;
  platform::Socket data_;
};

}  // namespace qorda::test
