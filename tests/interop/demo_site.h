// The site `qorda init --demo` makes, served by `qorda serve` for stock clients: anonymous (any
// e-mail address as password) lists and reads /pub/ and only stores into /incoming/; the demo
// account gets the password init prints. On top the fixture adds the accounts "writer" (full
// rights on drive c:) and "reader" (list and read below /c:/pub/, which is its root), a larger
// binary file, a UTF-8 name and a nested directory with spaces in its names under /pub/, and two
// administrator links: /pub/manual -> /pub/docs/ and /pub/latest.txt -> /pub/hello.txt.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"
#include "tests/support/session_seam.h"

namespace qorda::test {

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void spit(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Whether the texts in `steps` occur in `text` in this order.
inline bool in_order(const std::string& text, const std::vector<std::string>& steps) {
  size_t at = 0;
  for (const std::string& step : steps) {
    at = text.find(step, at);
    if (at == std::string::npos) return false;
    at += step.size();
  }
  return true;
}

// A directory tree as relative path -> "dir", "file:" + its bytes, or "link:" + its target
// (links are not followed). A map compares whole trees byte for byte in one EXPECT_EQ.
inline std::map<std::string, std::string> tree_of(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      out[rel] = "link:" + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      out[rel] = "dir";
    } else {
      out[rel] = "file:" + slurp(it->path().string());
    }
  }
  EXPECT_FALSE(ec) << root << ": " << ec.message();
  return out;
}

class DemoSite : public ::testing::Test {
 protected:
  static constexpr const char* kWriter = "writer:Wr1te-me";

  void SetUp() override {
    int st = -1;
    const std::string out =
        run_command(std::string("'") + QORDA_BINARY + "' --home '" + site() + "' init --demo", &st);
    ASSERT_EQ(st, 0) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("password: ([a-z0-9]+)\\n"))) << out;
    password = m[1];
    qorda_cli(site(), "user add writer --password Wr1te-me --perm '[u] rwdlcxhms /c:/'");
    qorda_cli(site(), "user add reader --password Read-0nly --perm '[u] r--l--h-s /c:/pub/'");
    qorda_cli(site(), "link add /c:/pub/manual /c:/pub/docs/");
    qorda_cli(site(), "link add /c:/pub/latest.txt /c:/pub/hello.txt");
    spit(drive() + "/pub/big.bin", pattern_bytes(300000, 21));
    spit(drive() + "/pub/docs/deep dir/note one.txt", "deep\n");
    spit(drive() + "/pub/\xc3\xa9t\xc3\xa9.txt", "summer\n");
    port = serve_port();
    srv = std::make_unique<ServeChild>(site(), "--port " + std::to_string(port));
    ASSERT_TRUE(srv->wait_up()) << srv->output();
  }
  // The server is still serving after whatever the client did, and shuts down in order.
  void TearDown() override {
    if (srv) {
      EXPECT_EQ(srv->stop(), 0) << srv->output();
    }
  }

  std::string site() const { return home.path() + "/h"; }
  std::string drive() const { return site() + "/c"; }
  // `path` starts with "/"; `login` is "user:password" or empty for anonymous.
  std::string url(const std::string& path, const std::string& login = kWriter) const {
    return "ftp://" + (login.empty() ? "" : login + "@") + "127.0.0.1:" + std::to_string(port) +
           path;
  }
  // /pub/ as clients see it: the files on disk and the links as links.
  std::map<std::string, std::string> pub_tree() const {
    std::map<std::string, std::string> t = tree_of(drive() + "/pub");
    t["manual"] = "link:/pub/docs/";
    t["latest.txt"] = "link:/pub/hello.txt";
    return t;
  }

  TempDir home;
  TempDir work;
  std::string password;
  uint16_t port = 0;
  std::unique_ptr<ServeChild> srv;
};

}  // namespace qorda::test
