// qorda status | who | kick | log | stop | switch: a running server driven through its control
// socket (<home>/qorda.sock). Each sends one request line and prints the server's JSON answers,
// as they come with --json, or formatted for people.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/commands.h"
#include "app/server_home.h"
#include "control/limits.h"
#include "control/protocol.h"
#include "platform/fileio.h"
#include "platform/local_socket.h"

namespace qorda::app {

namespace {

struct Options {
  bool json = false;
  bool help = false;
  std::vector<std::string> words;  // what is not an option common to every command
};

// --json and --help are taken here; anything else is the command's.
Options common_options(const Args& args) {
  Options o;
  for (const std::string& a : args) {
    if (a == "--json") {
      o.json = true;
    } else if (a == "--help" || a == "-h") {
      o.help = true;
    } else {
      o.words.push_back(a);
    }
  }
  return o;
}

int usage_error(const char* cmd, const std::string& message, const char* usage) {
  std::fprintf(stderr, "qorda %s: %s\n%s", cmd, message.c_str(), usage);
  return kExitUsage;
}

// One connection to the control socket of a home.
class Channel {
 public:
  Channel(const Context& ctx, const char* cmd)
      : cmd_(cmd), home_(ctx.home), path_(ctx.home + "/" + control::kSocketName) {}

  // Connects and sends the request; false (the reason told) when that cannot be done.
  bool send(const control::Request& r) {
    // A server that refuses this user closes at once; writing then must fail, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    auto fd = platform::connect_local(path_, control::kAnswerWaitMs);
    if (!fd.ok()) {
      if (fd.err == ENOENT || fd.err == ECONNREFUSED) {
        tell("no qorda is running on " + home_ + " (nothing answers at " + path_ + ")");
      } else if (fd.err == EAGAIN) {
        tell("the server on " + home_ + " did not take the connection in time");
      } else if (fd.err == EACCES || fd.err == EPERM) {
        tell("the control socket " + path_ + " refuses this user (uid " +
             std::to_string(platform::effective_uid()) +
             "): only the user the server runs as, and root, may use it");
      } else {
        tell("can't reach the control socket " + path_ + ": " + std::strerror(fd.err));
      }
      return false;
    }
    fd_ = std::move(*fd);
    // A refusal may already wait to be read, so a failed write is not the end of the story.
    (void)platform::write_all(fd_.get(), control::request_line(r));
    return true;
  }

  // The next answer line; nothing at the end of the connection or after `timeout_ms` (-1: no
  // limit), which `timed_out` then tells.
  std::optional<std::string> line(int timeout_ms) {
    timed_out_ = false;
    for (;;) {
      const size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string out = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return out;
      }
      if (buf_.size() > control::kMaxAnswerLineBytes) return std::nullopt;
      char chunk[16384];
      const platform::IoResult r =
          platform::read_waiting(fd_.get(), chunk, sizeof chunk, timeout_ms);
      if (r.err == ETIMEDOUT) {
        timed_out_ = true;
        return std::nullopt;
      }
      if (!r.ok() || r.n == 0) return std::nullopt;
      buf_.append(chunk, r.n);
    }
  }
  bool timed_out() const { return timed_out_; }

  // The next line as JSON; nothing (the reason told) when it is missing or not understood.
  std::optional<control::JsonValue> answer(std::string* raw, int timeout_ms) {
    std::optional<std::string> l = line(timeout_ms);
    if (!l) {
      tell(timed_out_ ? "the server on " + home_ + " did not answer in time"
                      : "the server on " + home_ + " closed the connection without an answer");
      return std::nullopt;
    }
    std::optional<control::JsonValue> v = control::parse_json(*l);
    if (!v || v->type != control::JsonValue::Type::Object) {
      tell("the server's answer is not understood: " + *l);
      return std::nullopt;
    }
    *raw = std::move(*l);
    return v;
  }

  // The exit status for an {"ok":false} answer, its message told.
  int refused(const control::JsonValue& v) {
    tell(v.str("message", "the request was refused"));
    return v.str("error") == "bad-request" ? kExitUsage : kExitFailure;
  }

  void tell(const std::string& message) const {
    std::fprintf(stderr, "qorda %s: %s\n", cmd_, message.c_str());
  }
  const std::string& home() const { return home_; }

 private:
  const char* cmd_;
  std::string home_;
  std::string path_;
  platform::UniqueFd fd_;
  std::string buf_;
  bool timed_out_ = false;
};

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Sends `r` and takes its one answer line: printed raw with --json; `plain` prints it for
// people otherwise, and does what else the command needs.
template <class Plain>
int one_shot(const Context& ctx, const char* cmd, const control::Request& r, bool json,
             Plain plain) {
  Channel ch(ctx, cmd);
  if (!ch.send(r)) return kExitFailure;
  std::string raw;
  std::optional<control::JsonValue> v = ch.answer(&raw, control::kAnswerWaitMs);
  if (!v) return kExitFailure;
  if (!v->flag("ok")) {
    if (json) print(raw + "\n");
    return ch.refused(*v);
  }
  if (json) print(raw + "\n");
  return plain(*v, ch, json);
}

constexpr const char* kStatusUsage =
    "usage: qorda status [--json]\n\n"
    "The running server's figures: on or off, port, clients now and the maximum, the combined\n"
    "transfer rate, the server process's cpu usage and its uptime.\n";
constexpr const char* kWhoUsage =
    "usage: qorda who [--json]\n\n"
    "One line per connection: id (as in the log), user, host, online and idle time, and the\n"
    "transfer in progress.\n";
constexpr const char* kKickUsage =
    "usage: qorda kick ID [--disable] [--ban] [--json]\n\n"
    "Disconnects the connection ID (as 'who' and the log show it, e.g. 0005 or [0005]).\n"
    "For a client logged in to an account, --disable disables the account and --ban denies\n"
    "its address from the next login, as the window's \"Disconnect Client\" does; a client\n"
    "that is not logged in is only disconnected.\n";
constexpr const char* kLogUsage =
    "usage: qorda log [--lines N] [--follow] [--json]\n\n"
    "The last N lines (default 10, at most 500) of the activity log; with --follow every new\n"
    "line as it is logged, until interrupted or the server ends (exit 0 then).\n";
constexpr const char* kStopUsage =
    "usage: qorda stop [--when-idle] [--json]\n\n"
    "Stops the server as SIGTERM does (every client gets its 421) and waits until it has ended.\n"
    "--when-idle closes the listener at once and ends the server once the connected clients\n"
    "have left (the window's \"wait until all clients have logged off\").\n";
constexpr const char* kSwitchUsage =
    "usage: qorda switch on|off [--json]\n\n"
    "The server switch: off closes the listener and drops every client (the process stays and\n"
    "answers here); on opens it again.\n";

}  // namespace

int run_status(const Context& ctx, const Args& args) {
  const Options o = common_options(args);
  if (o.help) return std::printf("%s", kStatusUsage), kExitOk;
  if (!o.words.empty())
    return usage_error("status", "unknown argument '" + o.words[0] + "'", kStatusUsage);
  control::Request r;
  r.verb = control::Verb::Status;
  return one_shot(ctx, "status", r, o.json, [](const control::JsonValue& v, Channel&, bool json) {
    if (!json) print(control::status_table(v));
    return kExitOk;
  });
}

int run_who(const Context& ctx, const Args& args) {
  const Options o = common_options(args);
  if (o.help) return std::printf("%s", kWhoUsage), kExitOk;
  if (!o.words.empty())
    return usage_error("who", "unknown argument '" + o.words[0] + "'", kWhoUsage);
  control::Request r;
  r.verb = control::Verb::Who;
  return one_shot(ctx, "who", r, o.json, [](const control::JsonValue& v, Channel&, bool json) {
    if (!json) print(control::who_table(v));
    return kExitOk;
  });
}

int run_kick(const Context& ctx, const Args& args) {
  const Options o = common_options(args);
  if (o.help) return std::printf("%s", kKickUsage), kExitOk;
  control::Request r;
  r.verb = control::Verb::Kick;
  std::optional<uint32_t> id;
  for (const std::string& w : o.words) {
    if (w == "--disable") {
      r.disable = true;
    } else if (w == "--ban") {
      r.ban = true;
    } else if (w.rfind("-", 0) == 0) {
      return usage_error("kick", "unknown option '" + w + "'", kKickUsage);
    } else if (id) {
      return usage_error("kick", "give one connection id", kKickUsage);
    } else {
      id = control::parse_connection_id(w);
      if (!id)
        return usage_error("kick", "'" + w + "' is not a connection id (e.g. 0005)", kKickUsage);
    }
  }
  if (!id)
    return usage_error("kick", "give the connection id ('qorda who' lists them)", kKickUsage);
  r.id = *id;
  return one_shot(ctx, "kick", r, o.json, [](const control::JsonValue& v, Channel& ch, bool json) {
    if (!json) print(control::kick_text(v));
    if (const std::string err = v.str("store_error"); !err.empty()) {
      ch.tell("the account could not be changed: " + err);
      return kExitFailure;
    }
    return kExitOk;
  });
}

int run_log(const Context& ctx, const Args& args) {
  const Options o = common_options(args);
  if (o.help) return std::printf("%s", kLogUsage), kExitOk;
  control::Request r;
  r.verb = control::Verb::Log;
  r.lines = 10;
  for (size_t i = 0; i < o.words.size(); ++i) {
    const std::string& w = o.words[i];
    std::string value;
    if (w == "--follow" || w == "-f") {
      r.follow = true;
      continue;
    }
    if (w == "--lines" || w == "-n") {
      if (i + 1 >= o.words.size()) return usage_error("log", w + " needs a number", kLogUsage);
      value = o.words[++i];
    } else if (w.rfind("--lines=", 0) == 0) {
      value = w.substr(8);
    } else {
      return usage_error("log", "unknown argument '" + w + "'", kLogUsage);
    }
    uint32_t n = 0;
    if (!parse_port(value, &n) || n > 500) {
      return usage_error("log", "'" + value + "' is not a line count from 0 to 500", kLogUsage);
    }
    r.lines = n;
  }
  Channel ch(ctx, "log");
  if (!ch.send(r)) return kExitFailure;
  bool following = false;
  for (;;) {
    // Lines already logged come at once; followed ones whenever the server logs them.
    const int wait = following ? -1 : control::kAnswerWaitMs;
    std::optional<std::string> l = ch.line(wait);
    if (!l) {
      if (following) {
        ch.tell("the server on " + ch.home() + " has stopped");
        return kExitOk;
      }
      ch.tell(ch.timed_out() ? "the server on " + ch.home() + " did not answer in time"
                             : "the server on " + ch.home() + " closed the connection");
      return kExitFailure;
    }
    std::optional<control::JsonValue> v = control::parse_json(*l);
    if (!v || v->type != control::JsonValue::Type::Object) {
      ch.tell("the server's answer is not understood: " + *l);
      return kExitFailure;
    }
    if (o.json) print(*l + "\n");
    if (const control::JsonValue* text = v->get("line")) {
      if (!o.json) print(text->text + "\n");
      continue;
    }
    if (v->get("event") != nullptr) {
      ch.tell("the server on " + ch.home() + " has stopped");
      return kExitOk;
    }
    if (!v->flag("ok")) return ch.refused(*v);
    if (!v->flag("following")) return kExitOk;
    following = true;
  }
}

int run_stop(const Context& ctx, const Args& args) {
  const Options o = common_options(args);
  if (o.help) return std::printf("%s", kStopUsage), kExitOk;
  control::Request r;
  r.verb = control::Verb::Stop;
  for (const std::string& w : o.words) {
    if (w != "--when-idle") return usage_error("stop", "unknown argument '" + w + "'", kStopUsage);
    r.when_idle = true;
  }
  return one_shot(ctx, "stop", r, o.json, [](const control::JsonValue& v, Channel& ch, bool json) {
    const auto clients = static_cast<long long>(v.num("clients"));
    if (v.str("stopping") == "when-idle") {
      if (!json)
        print("no new clients are let in; the server on " + ch.home() + " stops once its " +
              std::to_string(clients) + " connected client" + (clients == 1 ? "" : "s") + " ha" +
              (clients == 1 ? "s" : "ve") + " left\n");
      return kExitOk;
    }
    // Stopping now: the connection ends with the server.
    std::optional<std::string> l;
    while ((l = ch.line(control::kStopWaitMs))) {
    }
    if (ch.timed_out()) {
      ch.tell("the server on " + ch.home() + " was told to stop but has not ended yet");
      return kExitFailure;
    }
    if (!json) print("the server on " + ch.home() + " has stopped\n");
    return kExitOk;
  });
}

int run_switch(const Context& ctx, const Args& args) {
  const Options o = common_options(args);
  if (o.help) return std::printf("%s", kSwitchUsage), kExitOk;
  if (o.words.size() != 1 || (o.words[0] != "on" && o.words[0] != "off")) {
    return usage_error("switch", "give 'on' or 'off'", kSwitchUsage);
  }
  control::Request r;
  r.verb = control::Verb::Switch;
  r.on = o.words[0] == "on";
  return one_shot(ctx, "switch", r, o.json, [](const control::JsonValue& v, Channel&, bool json) {
    if (!json) print(std::string("the server is ") + (v.flag("on") ? "on" : "off") + "\n");
    return kExitOk;
  });
}

}  // namespace qorda::app
