// The README's recipes, each taken from README.md at test time and run verbatim in a fresh
// directory, then served by `qorda serve` and tried with curl or Python's ftplib; `qorda check`
// must say what the client then meets.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "tests/interop/demo_site.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

// The Recipes section of README.md.
std::string recipes_section() {
  const std::string readme = slurp(std::string(QORDA_SOURCE_DIR) + "/README.md");
  const size_t from = readme.find("\n## Recipes\n");
  if (from == std::string::npos) return "";
  const size_t to = readme.find("\n## ", from + 1);
  return readme.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

class Recipes : public ::testing::Test {
 protected:
  // Runs the shell block under "### TITLE", as written, in a fresh directory with the program
  // under test first on PATH; the recipe ends with a `qorda check` that must succeed.
  void run_recipe(const std::string& title) {
    const std::string section = recipes_section();
    const size_t head = section.find("\n### " + title + "\n");
    ASSERT_NE(head, std::string::npos) << "no recipe '" << title << "' in README.md";
    const size_t open = section.find("```sh\n", head);
    const size_t close = section.find("\n```", open);
    ASSERT_TRUE(open != std::string::npos && close != std::string::npos &&
                section.find("\n### ", head + 1) > open)
        << "recipe '" << title << "' has no sh block";
    const std::string block = section.substr(open + 6, close + 1 - (open + 6));
    spit(dir.path() + "/recipe.sh", block);
    int st = -1;
    recipe_out = run_command("cd '" + dir.path() + "' && PATH='" +
                                 std::filesystem::path(QORDA_BINARY).parent_path().string() +
                                 ":'\"$PATH\" sh -e recipe.sh",
                             &st);
    ASSERT_EQ(st, 0) << block << recipe_out;
    EXPECT_NE(recipe_out.find("login:    would succeed\n"), std::string::npos) << recipe_out;
    port = serve_port();
    srv = std::make_unique<ServeChild>(site(), "--port " + std::to_string(port));
    ASSERT_TRUE(srv->wait_up()) << srv->output();
  }
  void TearDown() override {
    if (srv) {
      EXPECT_EQ(srv->stop(), 0) << srv->output();
    }
  }

  std::string site() const { return dir.path() + "/site"; }
  std::string drive() const { return site() + "/c"; }
  // `qorda --home site ARGS` (exit status in *status).
  std::string qorda(const std::string& args, int* status) {
    int st = -1;
    std::string out =
        run_command("'" + std::string(QORDA_BINARY) + "' --home '" + site() + "' " + args, &st);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
  }
  // Runs a Python ftplib script with the port as its argument; `refused(fn)` prints the reply
  // of a refused command.
  std::string python(const std::string& body) {
    spit(dir.path() + "/client.py",
         "import ftplib, io, sys\nport = int(sys.argv[1])\n"
         "def refused(fn):\n"
         "    try: fn(); print('ALLOWED')\n"
         "    except ftplib.error_perm as e: print(e)\n"
         "def login(user, password):\n"
         "    f = ftplib.FTP()\n"
         "    f.connect('127.0.0.1', port, timeout=20)\n"
         "    f.login(user, password)\n"
         "    return f\n" +
             body);
    int st = -1;
    std::string out =
        run_command("python3 '" + dir.path() + "/client.py' " + std::to_string(port), &st);
    EXPECT_EQ(st, 0) << out;
    return out;
  }

  TempDir dir;
  std::string recipe_out;
  uint16_t port = 0;
  std::unique_ptr<ServeChild> srv;
};

bool have_python() {
  return std::system("python3 -c 'import ftplib' >/dev/null 2>&1") == 0;
}

TEST(RecipesReadme, EveryRecipeHasItsTest) {
  std::set<std::string> titles;
  std::istringstream in(recipes_section());
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("### ", 0) == 0) titles.insert(line.substr(4));
  }
  EXPECT_EQ(titles, (std::set<std::string>{
                        "Anonymous read-only download area",
                        "A user with a writable home and a shared read-only area",
                        "An upload-only drop box",
                        "A user restricted to one address range",
                        "Limits by time of day",
                    }));
}

TEST_F(Recipes, AnonymousDownloadArea) {
  if (!have_program("curl")) GTEST_SKIP() << "curl is not installed";
  ASSERT_NO_FATAL_FAILURE(run_recipe("Anonymous read-only download area"));
  EXPECT_NE(recipe_out.find("root:     /c:/pub/ (the client sees /)\n"), std::string::npos)
      << recipe_out;
  int st = -1;
  const std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/";
  std::string out = run_command("curl -sS --max-time 30 " + url + "hello.txt", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(out, "Hello.\n");
  out = run_command("curl -sS --max-time 30 --list-only -u ftp:me@example.org " + url, &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(out, "hello.txt\n");
  spit(dir.path() + "/up.txt", "up\n");
  out = run_command("curl -sS --max-time 30 -T '" + dir.path() + "/up.txt' " + url, &st);
  EXPECT_NE(st, 0) << out;
  EXPECT_FALSE(std::filesystem::exists(drive() + "/pub/up.txt"));
}

TEST_F(Recipes, WritableHomeAndSharedReadOnlyArea) {
  if (!have_python()) GTEST_SKIP() << "python3 with ftplib is not installed";
  ASSERT_NO_FATAL_FAILURE(run_recipe("A user with a writable home and a shared read-only area"));
  EXPECT_NE(recipe_out.find("  rights:    the template's line \"[t] r--l---ms /c:/pub/\""),
            std::string::npos)
      << recipe_out;
  spit(drive() + "/pub/shared.txt", "shared\n");
  std::filesystem::create_directories(drive() + "/home/bob");
  const std::string out = python(R"(f = login('alice', 'Alice-pw')
print(f.pwd())
print(f.storbinary('STOR notes.txt', io.BytesIO(b'mine')))
print(f.cwd('/pub'))
print(f.nlst())
got = io.BytesIO()
print(f.retrbinary('RETR shared.txt', got.write), got.getvalue())
refused(lambda: f.storbinary('STOR x.txt', io.BytesIO(b'x')))
print(f.nlst('/'))
refused(lambda: f.cwd('/home/bob'))
print(f.cwd('/home/alice'))
f.quit()
)");
  EXPECT_EQ(out,
            "/home/alice/\n226 Transfer Complete.\n250 CWD command successful.\n"
            "['shared.txt']\n226 Transfer Complete. b'shared\\n'\n"
            "550 x.txt: Permission denied.\n['. unreadable']\n"
            "550 /home/bob: Permission denied.\n250 CWD command successful.\n");
  EXPECT_EQ(slurp(drive() + "/home/alice/notes.txt"), "mine");
}

TEST_F(Recipes, UploadOnlyDropBox) {
  if (!have_python()) GTEST_SKIP() << "python3 with ftplib is not installed";
  ASSERT_NO_FATAL_FAILURE(run_recipe("An upload-only drop box"));
  EXPECT_NE(recipe_out.find("  rights:    the user's line \"[u] -w----h-- /c:/dropbox/\": write, "
                            "home; applies to /c:/dropbox/ only\n"),
            std::string::npos)
      << recipe_out;
  const std::string out = python(R"(f = login('drop', 'Drop-pw')
print(f.pwd())
print(f.storbinary('STOR report.pdf', io.BytesIO(b'%PDF')))
print(f.nlst())
refused(lambda: f.retrbinary('RETR report.pdf', print))
refused(lambda: f.delete('report.pdf'))
f.quit()
)");
  EXPECT_EQ(out,
            "/\n226 Transfer Complete.\n['. unreadable']\n"
            "550 report.pdf: Permission denied.\n550 report.pdf: Permission denied.\n");
  EXPECT_EQ(slurp(drive() + "/dropbox/report.pdf"), "%PDF");
}

TEST_F(Recipes, UserRestrictedToOneAddressRange) {
  if (!have_python()) GTEST_SKIP() << "python3 with ftplib is not installed";
  ASSERT_NO_FATAL_FAILURE(run_recipe("A user restricted to one address range"));
  EXPECT_NE(recipe_out.find("ip:       192.168.1.20 allowed by the user's line "
                            "\"[u] a 192.168.1.*\"\n"),
            std::string::npos)
      << recipe_out;
  // The test's client comes from 127.0.0.1, outside the range: check and server agree.
  int st = -1;
  const std::string checked = qorda("check carol", &st);
  EXPECT_EQ(st, 1) << checked;
  EXPECT_NE(checked.find("ip:       127.0.0.1 denied by the user's line \"[u] d *.*.*.*\"\n"),
            std::string::npos)
      << checked;
  EXPECT_NE(checked.find("login:    refused (ip not allowed)\n"), std::string::npos) << checked;
  EXPECT_EQ(python("refused(lambda: login('carol', 'Carol-pw'))\n"), "530 Login incorrect.\n");
  EXPECT_TRUE(srv->wait_for("User \"carol\" can't log in. (ip not allowed)")) << srv->output();
}

TEST_F(Recipes, LimitsByTimeOfDay) {
  if (!have_python()) GTEST_SKIP() << "python3 with ftplib is not installed";
  ASSERT_NO_FATAL_FAILURE(run_recipe("Limits by time of day"));
  EXPECT_NE(recipe_out.find("limits:   at 12:00, with no other client logged in: template 'office' "
                            "line \"08:00,17:59,20,2,-1,-1\": total 20, per user 2"),
            std::string::npos)
      << recipe_out;
  int st = -1;
  for (const char* night : {"22:00", "03:00"}) {
    const std::string checked = qorda(std::string("check dave --at ") + night, &st);
    EXPECT_EQ(st, 0) << checked;
    EXPECT_NE(checked.find("\": total 5, per user 2, per ip 20, both 20, server 20\n"),
              std::string::npos)
        << checked;
  }
  // Two sessions per user at any time of day: the third of dave's is refused, erin still gets in.
  const std::string out = python(R"(a = login('dave', 'Dave-pw')
b = login('dave', 'Dave-pw')
refused(lambda: login('dave', 'Dave-pw'))
c = login('erin', 'Erin-pw')
print(c.pwd())
)");
  EXPECT_EQ(out,
            "530-Sorry, the current limit of 2 clients in your class has been reached.\n"
            "530-Please try again later.\n530-\n530 User dave access denied.\n/\n");
  EXPECT_TRUE(srv->wait_for("User \"dave\" can't log in. (limit: 2 clients using '[u] dave')"))
      << srv->output();
}

}  // namespace
}  // namespace qorda::test
