// Broken and hostile agents, end to end: whatever arrives on standard input, every
// request with an id gets exactly one well-formed answer, nothing else is written,
// and the gateway still ends normally.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "hardening/session.h"

namespace brask::testing {
namespace {

// The lines of `out` that end in a line feed, without it.
std::vector<std::string> complete_lines(const std::string& out) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(out.substr(at, end - at));
  return lines;
}

// Every output line is a JSON-RPC response object; returns them keyed by compact id,
// failing on an id answered twice (ids are unique within each input below).
std::map<std::string, JsonValue> answers_by_id(const std::vector<std::string>& lines,
                                               size_t* null_ids) {
  std::map<std::string, JsonValue> by_id;
  *null_ids = 0;
  for (const std::string& line : lines) {
    auto parsed = parse_json(line);
    EXPECT_TRUE(parsed.ok()) << line.substr(0, 200);
    if (!parsed.ok())
      continue;
    const JsonValue* version = parsed->find("jsonrpc");
    EXPECT_TRUE(version && version->as_string() && *version->as_string() == "2.0") << line;
    EXPECT_NE(parsed->find("result") != nullptr, parsed->find("error") != nullptr) << line;
    const JsonValue* id = parsed->find("id");
    EXPECT_NE(id, nullptr) << line;
    if (id == nullptr)
      continue;
    if (id->is_null()) {
      ++*null_ids;
      continue;
    }
    EXPECT_TRUE(by_id.emplace(render_compact(*id), *parsed).second) << "answered twice: " << line;
  }
  return by_id;
}

struct Shape {
  const char* line;
  const char* id;  // compact id the answer must carry; nullptr: answered with id null;
                   // "" : no answer at all
};

const Shape SHAPES[] = {
    {"null", nullptr},
    {"true", nullptr},
    {"-0.5e-3", nullptr},
    {R"("ping")", nullptr},
    {"[]", nullptr},
    {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", nullptr},
    {"{}", nullptr},
    {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}", nullptr},
    {"\xef\xbb\xbf{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}", nullptr},
    {R"({"jsonrpc":"2.0","id":3,"method":"ping"})", "3"},
    {R"({"jsonrpc":"2.0","id":-4,"method":"ping"})", "-4"},
    {R"({"jsonrpc":"2.0","id":5.25,"method":"ping"})", "5.25"},
    {R"({"jsonrpc":"2.0","id":18446744073709551615,"method":"ping"})", "18446744073709551615"},
    {R"({"jsonrpc":"2.0","id":"six","method":"ping"})", R"("six")"},
    {R"({"jsonrpc":"2.0","id":"","method":"ping"})", R"("")"},
    {R"({"jsonrpc":"2.0","id":"\u0000\ud83d\ude00","method":"ping"})",
     "\"\\u0000\xf0\x9f\x98\x80\""},
    {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", nullptr},
    {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", nullptr},
    {R"({"jsonrpc":"2.0","id":[7],"method":"ping"})", nullptr},
    {R"({"jsonrpc":"2.0","id":{"a":8},"method":"ping"})", nullptr},
    {R"({"jsonrpc":"2.0","method":"ping"})", ""},
    {R"({"jsonrpc":"2.0","method":"notifications/initialized","params":[1]})", ""},
    {R"({"jsonrpc":"1.0","id":9,"method":"ping"})", "9"},
    {R"({"id":10,"method":"ping"})", "10"},
    {R"({"jsonrpc":"2.0","id":11,"method":7})", "11"},
    {R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":[]})", "12"},
    {R"({"jsonrpc":"2.0","id":13,"method":"tools/call","params":{"name":5}})", "13"},
    {R"({"jsonrpc":"2.0","id":14,"method":"tools/call","params":{"name":"brask_call_tool","arguments":[]}})",
     "14"},
    {R"({"jsonrpc":"2.0","id":15,"method":"tools/call","params":{"name":"brask_call_tool","arguments":{"app":1,"tool":{}}}})",
     "15"},
    {R"({"jsonrpc":"2.0","id":16,"method":"tools/call","params":{"name":"brask_find_tools","arguments":{"query":[],"limit":-1}}})",
     "16"},
    {R"({"jsonrpc":"2.0","id":17,"method":"tools/call","params":{"name":"brask_describe_tool","arguments":{"app":"alpha","tool":"\u0000"}}})",
     "17"},
    {R"({"jsonrpc":"2.0","id":18,"method":"tools/call","params":{"name":"brask_call_tool","arguments":{"app":"alpha","tool":"echo","timeoutSeconds":1e300}}})",
     "18"},
    {R"({"jsonrpc":"2.0","id":19,"method":"tools/call","params":{"name":"brask_list_apps","arguments":null}})",
     "19"},
    {R"({"jsonrpc":"2.0","id":20,"method":"initialize","params":"x"})", "20"},
    {R"({"jsonrpc":"2.0","id":21,"method":"tools/list","params":{"cursor":{}}})", "21"},
};

TEST(HostileAgent, EveryShapeOfMessageGetsTheRightNumberOfAnswers) {
  GatewaySession session({FakeAppEntry("alpha")});
  std::string input;
  size_t want_null = 0;
  for (const Shape& s : SHAPES) {
    input += std::string(s.line) + "\n";
    if (s.id == nullptr)
      ++want_null;
  }
  // Deep nesting, inside a request and as a whole line.
  input += std::string(100000, '[') + "\n";
  input += R"({"jsonrpc":"2.0","id":22,"method":"ping","params":{"x":)" + std::string(120, '[') +
           std::string(120, ']') + "}}\n";
  want_null += 1;
  bool complete = false;
  const std::string out = session.send_all_and_read(input, std::chrono::seconds(60), &complete);
  ASSERT_TRUE(complete);
  std::vector<std::string> lines;
  for (size_t at = 0; at < out.size();) {
    size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "last line without line feed";
    lines.push_back(out.substr(at, end - at));
    at = end + 1;
  }
  size_t null_ids = 0;
  std::map<std::string, JsonValue> by_id = answers_by_id(lines, &null_ids);
  EXPECT_EQ(null_ids, want_null);
  size_t want_ids = 1;  // id 22
  for (const Shape& s : SHAPES) {
    if (s.id == nullptr || *s.id == '\0')
      continue;
    ++want_ids;
    EXPECT_EQ(by_id.count(s.id), 1u) << "no answer for " << s.line;
  }
  EXPECT_EQ(by_id.size(), want_ids);
  EXPECT_EQ(by_id.count("22"), 1u);
  ExitStatus status = session.process().wait();
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
}

// Thousands of requests at once while sixteen slow calls hold every slot: each gets
// exactly one answer, either its own or the busy refusal with its id.
TEST(HostileAgent, BurstBeyondSixteenIsAnsweredBusyExactlyOnce) {
  GatewaySession session({FakeAppEntry("alpha")});
  std::string input;
  for (int id = 0; id < 16; ++id)
    input += render_compact(
                 GatewaySession::call_request(id, "alpha", "sleep", JsonObject{{"ms", 100}}, 60)) +
             "\n";
  constexpr int BURST = 3000;
  for (int id = 16; id < 16 + BURST; ++id)
    input += R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})" + "\n";
  bool complete = false;
  const std::string out = session.send_all_and_read(input, std::chrono::seconds(120), &complete);
  ASSERT_TRUE(complete);
  size_t null_ids = 0;
  std::map<std::string, JsonValue> by_id = answers_by_id(complete_lines(out), &null_ids);
  EXPECT_EQ(null_ids, 0u);
  EXPECT_EQ(by_id.size(), static_cast<size_t>(16 + BURST));
  size_t busy = 0;
  const std::string busy_text = "16 requests are already running; try again when one finishes";
  for (const auto& [id, answer] : by_id) {
    if (const JsonValue* error = answer.find("error")) {
      EXPECT_EQ(*error->find("message")->as_string(), busy_text) << id;
      ++busy;
    }
  }
  EXPECT_GT(busy, 0u);
  ExitStatus status = session.process().wait();
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
  for (pid_t pid : session.app_pids("alpha"))
    EXPECT_FALSE(process_exists(pid));
}

// The agent stops reading while app servers run: the gateway's own next answer fails,
// it ends with status 1, and takes its app servers with it.
TEST(HostileAgent, OutputClosedEarlyEndsServingWithoutLeftovers) {
  GatewaySession session({FakeAppEntry("alpha")});
  ASSERT_TRUE(session.send(GatewaySession::call_request(1, "alpha", "echo")));
  ASSERT_TRUE(session.answer(1));
  ASSERT_EQ(session.app_pids("alpha").size(), 1u);
  session.process().close_stdout();
  ASSERT_TRUE(
      session.send(GatewaySession::call_request(2, "alpha", "sleep", JsonObject{{"ms", 200}}, 60)));
  ASSERT_TRUE(session.send_line("not json"));
  ExitStatus status = session.process().wait(std::chrono::seconds(60));
  EXPECT_TRUE(status.exited && status.code == 1) << status.describe();
  EXPECT_NE(session.process().stderr_text().find("(os error 32)"), std::string::npos)
      << session.process().stderr_text();
  for (pid_t pid : session.app_pids("alpha"))
    EXPECT_FALSE(process_exists(pid));
}

// A parent that made the pipes it shares with the gateway non-blocking: the gateway
// waits for input and for room instead of failing, and every answer arrives whole.
TEST(HostileAgent, NonBlockingStandardInputAndOutputServeAsUsual) {
  ProcessOptions options;
  options.nonblocking_stdio = true;
  GatewaySession session(std::vector<FakeAppEntry>{}, options);
  const std::string padding(4 << 20, 'p');
  std::string input;
  for (int i = 0; i < 4; ++i)
    input += R"({"jsonrpc":"2.0","id":")" + std::to_string(i) + padding +
             R"(","method":"ping"})"
             "\n";
  bool complete = false;
  const std::string out = session.send_all_and_read(input, std::chrono::seconds(120), &complete);
  ASSERT_TRUE(complete);
  size_t null_ids = 0;
  std::map<std::string, JsonValue> by_id = answers_by_id(complete_lines(out), &null_ids);
  EXPECT_EQ(null_ids, 0u);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(by_id.count("\"" + std::to_string(i) + padding + "\""), 1u) << "answer " << i;
  ExitStatus status = session.process().wait();
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
}

}  // namespace
}  // namespace brask::testing
