// `qorda gui`, and plain `qorda` on a display: the process becomes the qorda-gui that lies
// beside the running program, with the home and port; without one it says how to get it.
// The real program runs from a copy in a directory of the test's own, next to a stand-in
// qorda-gui that records what it was given.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ftp_client.h"
#include "tests/support/serve_child.h"

namespace qorda::test {
namespace {

namespace fs = std::filesystem;

constexpr int kStandInStatus = 7;

// A copy of qorda in a directory of its own; `with_gui` adds a stand-in qorda-gui that writes
// its pid, its own path and its arguments, one per line, to `trace` and exits kStandInStatus.
struct Installed {
  TempDir dir;
  std::string qorda;
  std::string gui;
  std::string trace;

  explicit Installed(bool with_gui) {
    qorda = dir.path() + "/bin/qorda";
    fs::create_directories(dir.path() + "/bin");
    // As /proc/self/exe names it.
    gui = fs::canonical(dir.path() + "/bin").string() + "/qorda-gui";
    trace = dir.path() + "/trace";
    fs::copy_file(QORDA_BINARY, qorda);
    if (with_gui) {
      std::ofstream(gui) << "#!/bin/sh\nprintf '%s\\n' \"$$\" \"$0\" \"$@\" > '" << trace
                         << "'\nexit " << kStandInStatus << "\n";
      fs::permissions(gui, fs::perms::owner_all);
    }
  }

  std::vector<std::string> traced() const {
    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

struct Ran {
  int status = -1;
  std::string out;
};

// `sh -c 'echo $$; exec PROGRAM ARGS'` in `cwd` with `env`: the first output line is the pid
// that qorda, and after it whatever qorda becomes, keeps when each replaces the process.
Ran run(const std::string& cwd, const std::string& env, const std::string& program,
        const std::string& args) {
  Ran r;
  r.out = run_command("cd '" + cwd + "' && env " + env + " sh -c 'echo $$; exec \"$0\" \"$@\"' '" +
                          program + "' " + args,
                      &r.status);
  r.status = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
  return r;
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

const char* const kNoDisplay = "-u DISPLAY -u WAYLAND_DISPLAY";

TEST(GuiCommand, BecomesTheWindowProgramBesideItWithTheHomeAndPort) {
  Installed inst(true);
  TempDir work;
  struct Case {
    std::string env, args;
    std::vector<std::string> expect;  // qorda-gui's arguments
  };
  const std::string home = work.path() + "/site";
  const std::vector<Case> cases = {
      {kNoDisplay, "--home '" + home + "' gui --port 2121", {"--home", home, "--port", "2121"}},
      // gui's own --home, relative to the working directory, and --port=N.
      {kNoDisplay, "gui --home site/ --port=0", {"--home", home, "--port", "0"}},
      // No command on a display: the home as every command resolves it, no port.
      {"-u WAYLAND_DISPLAY DISPLAY=:0 QORDA_HOME='" + home + "'", "", {"--home", home}},
      {"-u DISPLAY WAYLAND_DISPLAY=wayland-0", "--home site", {"--home", home}},
  };
  for (const Case& c : cases) {
    fs::remove(inst.trace);
    const Ran r = run(work.path(), c.env, inst.qorda, c.args);
    EXPECT_EQ(r.status, kStandInStatus) << c.args << ": " << r.out;
    const std::vector<std::string> got = inst.traced();
    ASSERT_GE(got.size(), 2u) << c.args << ": " << r.out;
    // The same process: exec, not a child that qorda waits for.
    EXPECT_EQ(got[0], first_line(r.out)) << c.args;
    EXPECT_EQ(got[1], inst.gui) << c.args;
    EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.end()), c.expect) << c.args;
  }

  // Started through a link elsewhere, qorda still finds the qorda-gui beside its real file.
  fs::create_symlink(inst.qorda, work.path() + "/qorda-link");
  fs::remove(inst.trace);
  const Ran linked = run(work.path(), kNoDisplay, work.path() + "/qorda-link", "gui");
  EXPECT_EQ(linked.status, kStandInStatus) << linked.out;
  ASSERT_GE(inst.traced().size(), 2u);
  EXPECT_EQ(inst.traced()[1], inst.gui);

  // Bad arguments are refused before anything runs.
  fs::remove(inst.trace);
  for (const char* args : {"gui --port 65536", "gui --port", "gui --home", "gui --colour"}) {
    const Ran r = run(work.path(), kNoDisplay, inst.qorda, args);
    EXPECT_EQ(r.status, 2) << args << ": " << r.out;
  }
  EXPECT_FALSE(fs::exists(inst.trace));
}

TEST(GuiCommand, WithoutTheWindowProgramSaysHowToGetIt) {
  Installed inst(false);
  TempDir work;
  for (const auto& [env, args, who] :
       {std::tuple<std::string, std::string, std::string>{kNoDisplay, "gui", "qorda gui: "},
        {"DISPLAY=:0", "", "qorda: "}}) {
    const Ran r = run(work.path(), env, inst.qorda, args);
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string text = r.out.substr(r.out.find('\n') + 1);
    EXPECT_EQ(text.rfind(who + "the administration window is not installed: there is no " +
                             inst.gui + " beside this program.",
                         0),
              0u)
        << r.out;
    for (const char* how : {"scripts/deps.sh", "QORDA_GUI", "install the package", "qorda serve"}) {
      EXPECT_NE(text.find(how), std::string::npos) << how << ": " << r.out;
    }
  }

  // One that is there but may not run is named with the reason, not taken for a missing one.
  { std::ofstream(inst.gui) << "#!/bin/sh\nexit 0\n"; }
  fs::permissions(inst.gui, fs::perms::owner_read | fs::perms::owner_write);
  const Ran r = run(work.path(), kNoDisplay, inst.qorda, "gui");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("qorda gui: can't run " + inst.gui + ": Permission denied"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace qorda::test
