// The control protocol's pieces on their own: the request words and their bounds, the JSON both
// ends write and read, and the plain texts `qorda status`, `who` and `kick` print.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "control/limits.h"
#include "control/protocol.h"

namespace qorda::control {
namespace {

TEST(ControlRequest, EveryRequestRoundTripsThroughItsLine) {
  std::vector<Request> all(8);
  all[0].verb = Verb::Status;
  all[1].verb = Verb::Who;
  all[2] = Request{.verb = Verb::Kick, .id = 0x1a, .disable = true, .ban = true};
  all[3] = Request{.verb = Verb::Kick, .id = 5};
  all[4] = Request{.verb = Verb::Log, .lines = 500, .follow = true};
  all[5] = Request{.verb = Verb::Log, .lines = 0};
  all[6] = Request{.verb = Verb::Stop, .when_idle = true};
  all[7] = Request{.verb = Verb::Switch, .on = true};
  for (const Request& r : all) {
    std::string line = request_line(r);
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    const ParsedRequest p = parse_request(line + "\r");  // a CR before the LF is allowed
    ASSERT_TRUE(p.request) << line << ": " << p.error;
    EXPECT_EQ(p.request->verb, r.verb) << line;
    EXPECT_EQ(p.request->id, r.id) << line;
    EXPECT_EQ(p.request->disable, r.disable) << line;
    EXPECT_EQ(p.request->ban, r.ban) << line;
    EXPECT_EQ(p.request->lines, r.lines) << line;
    EXPECT_EQ(p.request->follow, r.follow) << line;
    EXPECT_EQ(p.request->when_idle, r.when_idle) << line;
    EXPECT_EQ(p.request->on, r.on) << line;
  }
}

TEST(ControlRequest, AnythingElseIsRefusedWithAReason) {
  const std::string too_long = "who" + std::string(kMaxRequestBytes, ' ');
  for (const std::string& bad : {std::string(),
                                 std::string("whoami"),
                                 std::string("who now"),
                                 std::string("status "),
                                 std::string("kick"),
                                 std::string("kick zz"),
                                 std::string("kick 5 ban ban"),
                                 std::string("kick 5  ban"),
                                 std::string("kick 5 please"),
                                 std::string("log"),
                                 std::string("log 501"),
                                 std::string("log -1"),
                                 std::string("log 5 tail"),
                                 std::string("stop now"),
                                 std::string("switch"),
                                 std::string("switch maybe"),
                                 std::string("who\t"),
                                 std::string("st\x01tus"),
                                 std::string("who\xc3\xa9"),
                                 std::string("st\0us", 5),
                                 too_long}) {
    const ParsedRequest p = parse_request(bad);
    EXPECT_FALSE(p.request) << bad;
    EXPECT_FALSE(p.error.empty()) << bad;
  }
  EXPECT_NE(parse_request(too_long).error.find("longer than"), std::string::npos);
  EXPECT_NE(parse_request("reboot").error.find("unknown request 'reboot'"), std::string::npos);
}

TEST(ControlRequest, ConnectionIdsAreTheLogsHexadecimal) {
  EXPECT_EQ(parse_connection_id("0005"), 5u);
  EXPECT_EQ(parse_connection_id("[0005]"), 5u);
  EXPECT_EQ(parse_connection_id("1A"), 0x1au);
  EXPECT_EQ(parse_connection_id("7fffffff"), 0x7fffffffu);
  for (const char* bad : {"", "[]", "[5", "g", "-5", "80000000", "123456789", "5 "}) {
    EXPECT_FALSE(parse_connection_id(bad)) << bad;
  }
}

TEST(ControlJson, StringsRoundTripAndStayValidUtf8) {
  const std::string tricky = "a\"b\\c\n\r\t\x01\x7f caf\xc3\xa9 \xf0\x9f\x98\x80";
  const std::string quoted = json_quote(tricky);
  EXPECT_EQ(quoted.find('\n'), std::string::npos);
  EXPECT_EQ(quoted.find('\x01'), std::string::npos);
  std::optional<JsonValue> v = parse_json("{\"s\":" + quoted + "}");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->str("s"), tricky);
  // A stray byte becomes the code point of the same number, written in UTF-8.
  EXPECT_EQ(json_quote("\xff"), "\"\xc3\xbf\"");
  // Escapes a JSON writer elsewhere may use.
  v = parse_json(R"({"s":"\u00e9\ud83d\ude00\/"})");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->str("s"), "\xc3\xa9\xf0\x9f\x98\x80/");
}

TEST(ControlJson, ObjectsBuildAndParseWhateverTheLocaleSays) {
  const std::string text = JsonObject()
                               .add("ok", true)
                               .add("n", 42)
                               .add_real("rate", 12.25, 2)
                               .add_null("none")
                               .add_raw("list", "[{\"a\":1},{\"a\":2}]")
                               .str();
  EXPECT_EQ(text, R"({"ok":true,"n":42,"rate":12.25,"none":null,"list":[{"a":1},{"a":2}]})");
  std::optional<JsonValue> v = parse_json(text);
  ASSERT_TRUE(v);
  EXPECT_TRUE(v->flag("ok"));
  EXPECT_EQ(v->num("n"), 42);
  EXPECT_EQ(v->num("rate"), 12.25);
  EXPECT_EQ(v->get("none")->type, JsonValue::Type::Null);
  ASSERT_EQ(v->get("list")->items.size(), 2u);
  EXPECT_EQ(v->get("list")->items[1].num("a"), 2);
  EXPECT_EQ(v->str("missing", "fallback"), "fallback");
  EXPECT_EQ(json_number(0.005, 2), "0.01");
  EXPECT_EQ(json_number(std::numeric_limits<double>::infinity(), 2), "0");
}

TEST(ControlJson, BrokenTextIsRefused) {
  const std::string deep = std::string(40, '[') + std::string(40, ']');
  for (const std::string& bad :
       {std::string(""), std::string("{"), std::string("{\"a\":}"), std::string("{\"a\":1,}"),
        std::string("{\"a\":1} x"), std::string("\"abc"), std::string("\"a\nb\""),
        std::string("\"\\q\""), std::string("\"\\ud800\""), std::string("tru"), deep}) {
    EXPECT_FALSE(parse_json(bad)) << bad;
  }
}

TEST(ControlText, IdsDurationsAndTransfers) {
  EXPECT_EQ(id_text(5), "[0005]");
  EXPECT_EQ(id_text(0x1234a), "[1234a]");
  EXPECT_EQ(duration_text(0), "00:00:00");
  EXPECT_EQ(duration_text(3723999), "01:02:03");
  EXPECT_EQ(duration_text(100ull * 3600 * 1000), "100:00:00");  // hours are not wrapped
  EXPECT_EQ(transfer_text("retrieving", "big file.bin", 1234, 5678, 12.25),
            "retrieving \"big file.bin\" 1234 of 5678 bytes, 12.25 kb/s");
  EXPECT_EQ(transfer_text("storing", "x", 0, 6000000000ull, 0),
            "storing \"x\" 0 of 6000000000 bytes, 0.00 kb/s");
  EXPECT_EQ(transfer_text("none", "", 0, 0, 0), "none");
  // A client's name cannot drive the administrator's terminal.
  EXPECT_EQ(transfer_text("storing", "a\x1b[2Jb", 1, 2, 0),
            "storing \"a\\x1b[2Jb\" 1 of 2 bytes, 0.00 kb/s");
}

TEST(ControlText, WhoTableFromTheServersAnswer) {
  session::ConnectionView idle;
  idle.id = 5;
  idle.user = "[unknown]";
  idle.host = "127.0.0.1";
  idle.address = {127, 0, 0, 1};
  idle.online_ms = 61000;
  idle.idle_ms = 2000;
  session::ConnectionView busy = idle;
  busy.id = 0x12;
  busy.user = "bob";
  busy.logged_in = true;
  busy.closing = true;
  busy.direction = transfer::Direction::Send;
  busy.file_name = "/c:/" + std::string(600, 'd') + "/big.bin";
  busy.position = 1234;
  busy.total_bytes = 5678;
  busy.rate_kbps = 12.5;
  const std::string answer =
      JsonObject()
          .add("ok", true)
          .add_raw("connections", "[" + connection_json(idle) + "," + connection_json(busy) + "]")
          .str();
  std::optional<JsonValue> v = parse_json(answer);
  ASSERT_TRUE(v) << answer;
  const std::string table = who_table(*v);
  EXPECT_EQ(table.substr(0, 2), "ID");
  EXPECT_NE(table.find("[0005]   [unknown]        127.0.0.1            00:01:01  00:00:02  none\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("[0012]   bob"), std::string::npos) << table;
  EXPECT_NE(table.find("/big.bin\" 1234 of 5678 bytes, 12.50 kb/s (closing)\n"), std::string::npos)
      << table;
  EXPECT_EQ(who_table(*parse_json(R"({"ok":true,"connections":[]})")),
            "no clients are connected\n");
}

TEST(ControlText, StatusTable) {
  std::optional<JsonValue> on =
      parse_json(R"({"ok":true,"on":true,"listening":true,"port":2121,"clients":3,"max_clients":0,)"
                 R"("rate_kbps":1.5,"cpu_percent":7,"uptime_ms":90061000,"stop_pending":false})");
  ASSERT_TRUE(on);
  EXPECT_EQ(status_table(*on),
            "server:     on, port 2121\n"
            "clients:    3 (maximum: no limit)\n"
            "transfers:  1.50 kb/s\n"
            "cpu usage:  7%\n"
            "uptime:     25:01:01\n");
  std::optional<JsonValue> stopping =
      parse_json(R"({"ok":true,"on":true,"listening":false,"port":0,"clients":1,"max_clients":20,)"
                 R"("rate_kbps":0,"cpu_percent":null,"uptime_ms":0,"stop_pending":true})");
  const std::string t = status_table(*stopping);
  EXPECT_NE(t.find("stopping once the last client has left"), std::string::npos) << t;
  EXPECT_NE(t.find("1 (maximum: 20)"), std::string::npos) << t;
  EXPECT_NE(t.find("cpu usage:  unknown"), std::string::npos) << t;
  EXPECT_EQ(status_table(*parse_json(R"({"ok":true,"on":false})")).substr(0, 16),
            "server:     off\n");
}

TEST(ControlText, KickSaysWhatWasDoneToTheAccount) {
  auto text = [](const char* json) { return kick_text(*parse_json(json)); };
  EXPECT_EQ(text(R"({"ok":true,"id":5,"outcome":"at-once","ban_requested":true})"),
            "[0005] disconnected (not logged in to an account: nothing was disabled or banned)\n");
  EXPECT_EQ(text(R"({"ok":true,"id":5,"outcome":"at-once"})"), "[0005] disconnected\n");
  EXPECT_EQ(text(R"({"ok":true,"id":7,"user":"bob","address":"10.0.0.5","outcome":"confirmed",)"
                 R"("disabled":true,"ban":"banned"})"),
            "[0007] bob@10.0.0.5 disconnected; account disabled; 10.0.0.5 banned (a deny line "
            "was added)\n");
  EXPECT_NE(text(R"({"ok":true,"id":7,"user":"bob","address":"10.0.0.5","outcome":"confirmed",)"
                 R"("ban":"no-matching-entry"})")
                .find("the server default let it in"),
            std::string::npos);
  EXPECT_NE(text(R"({"ok":true,"id":7,"user":"bob","address":"10.0.0.5","outcome":"confirmed",)"
                 R"("ban":"already-denied"})")
                .find("already denied"),
            std::string::npos);
}

}  // namespace
}  // namespace qorda::control
