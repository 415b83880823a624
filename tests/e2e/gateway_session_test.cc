// End-to-end sessions: the built brask-ai-mcp with an apps file naming bin/fake-app under
// several ids, spoken to over its standard input and output as an agent would.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json/json.h"
#include "json/parse.h"
#include "json/render.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/resources.h"

namespace brask {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds AT_ONCE{2000};  // generous for "answers without waiting"

std::string json_string(std::string_view text) {
  return render_compact(JsonValue(text));
}

// The answer line of a gateway tool that succeeded with `pretty` as its text.
std::string text_answer(int id, std::string_view pretty) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":)" +
         json_string(pretty) + R"(,"type":"text"}]}})";
}
// The answer line of a gateway tool that failed with `message`.
std::string error_answer(int id, std::string_view message) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":)" +
         json_string(message) + R"(,"type":"text"}],"isError":true}})";
}
// The answer line carrying an app's own result, given in compact form.
std::string app_answer(int id, std::string_view result) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":)" + std::string(result) +
         "}";
}

const std::string ECHO_RESULT =
    R"({"content":[{"text":"echo","type":"text"}],"structuredContent":)";

class FakeAppsSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    lumeno_starts_ = dir_ + "/lumeno-starts";
    kinetta_starts_ = dir_ + "/kinetta-starts";
  }
  void TearDown() override {
    if (gateway_) {
      gateway_->close_stdin();
      EXPECT_EQ(gateway_->wait().describe(), "exited with status 0");
    }
  }

  // lumeno, kinetta (both the fake app, with these arguments added) and ghost (no such
  // program).
  void start(std::vector<std::string> lumeno_args = {},
             std::vector<std::string> kinetta_args = {}) {
    auto fake_app = [](std::string_view id, std::string count_file,
                       const std::vector<std::string>& args) {
      std::string text = R"({"id":")" + std::string(id) + R"(","command":)" +
                         json_string(testing::program_path("fake-app")) +
                         R"(,"args":["--count-file",)" + json_string(count_file);
      for (const std::string& a : args)
        text += "," + json_string(a);
      return text + "]}";
    };
    write_apps_file(R"({"version":1,"apps":[)" + fake_app("lumeno", lumeno_starts_, lumeno_args) +
                    "," + fake_app("kinetta", kinetta_starts_, kinetta_args) +
                    R"(,{"id":"ghost","name":"Ghost","command":"/nonexistent/ghost"}]})");
    testing::ProcessOptions options;
    options.args = {"--stdio"};
    options.set_env = {{"BRASK_MCP_DIR", dir_}};
    auto started = testing::Process::start(testing::program_path("brask-ai-mcp"), options);
    ASSERT_TRUE(started.ok()) << started.error();
    gateway_ = std::move(started).take();
  }

  void write_apps_file(const std::string& text) { std::ofstream(dir_ + "/apps.json") << text; }
  void remove_apps_file() { std::filesystem::remove(dir_ + "/apps.json"); }

  void send(int id, std::string_view tool, std::string_view arguments = "{}") {
    std::string line = R"({"id":)" + std::to_string(id) +
                       R"(,"jsonrpc":"2.0","method":"tools/call","params":{"arguments":)" +
                       std::string(arguments) + R"(,"name":)" + json_string(tool) + "}}\n";
    ASSERT_TRUE(gateway_->write_stdin(line).ok());
  }

  // The answer line with `id`, keeping others for later; "" when none comes in time.
  std::string answer(int id, milliseconds limit = milliseconds(30000)) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
      if (auto kept = kept_.find(id); kept != kept_.end()) {
        std::string line = std::move(kept->second);
        kept_.erase(kept);
        return line;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0)
        return "";
      std::optional<std::string> line = gateway_->read_line(left);
      if (!line)
        return "";
      Result<JsonValue> parsed = parse_json(*line);
      const JsonValue* line_id = parsed.ok() ? parsed->find("id") : nullptr;
      const uint64_t* number = line_id ? line_id->as_unsigned() : nullptr;
      kept_[number ? static_cast<int>(*number) : -1] = *line;
    }
  }

  std::string ask(std::string_view tool, std::string_view arguments = "{}",
                  milliseconds limit = milliseconds(30000)) {
    const int id = next_id_++;
    send(id, tool, arguments);
    return answer(id, limit);
  }

  // The text of a gateway tool's answer line.
  static std::string text_of(const std::string& line) {
    Result<JsonValue> parsed = parse_json(line);
    if (!parsed.ok())
      return "";
    const JsonValue* content =
        parsed->find("result") ? parsed->find("result")->find("content") : nullptr;
    auto items = content ? content->as_array() : nullptr;
    if (!items || items->empty())
      return "";
    const JsonValue* text = (*items)[0].find("text");
    return std::string(text && text->as_string() ? *text->as_string() : "");
  }

  // Lists the apps until two listings in a row show `app` as busy. With the app's server
  // running and its catalogue cached, only a call holds the app longer than a moment.
  bool wait_until_busy(std::string_view app) {
    const std::string busy = "\"app\": \"" + std::string(app) + "\",\n      \"busy\": true";
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    int in_a_row = 0;
    while (in_a_row < 2 && Clock::now() < deadline) {
      const bool seen = text_of(ask("brask_list_apps")).find(busy) != std::string::npos;
      in_a_row = seen ? in_a_row + 1 : 0;
    }
    return in_a_row == 2;
  }

  testing::TempDir temp_;  // first, so that it goes last, after the gateway
  const std::string dir_ = temp_.path();
  std::string lumeno_starts_;
  std::string kinetta_starts_;
  std::unique_ptr<testing::Process> gateway_;
  std::map<int, std::string> kept_;
  int next_id_ = 1000;
};

TEST_F(FakeAppsSession, ListingBeforeAndAfterUse) {
  start();
  const std::string before = R"({
  "apps": [
    {
      "app": "lumeno",
      "name": "Lumeno",
      "started": false
    },
    {
      "app": "kinetta",
      "name": "Kinetta",
      "started": false
    },
    {
      "app": "ghost",
      "name": "Ghost",
      "started": false
    }
  ]
})";
  send(1, "brask_list_apps", "[]");
  EXPECT_EQ(answer(1), text_answer(1, before));

  send(2, "brask_find_tools", R"({"query":"echo","app":" Lumeno "})");
  EXPECT_EQ(answer(2), text_answer(2, R"({
  "tools": [
    {
      "app": "lumeno",
      "summary": "Built-in tool echo",
      "tool": "echo"
    }
  ]
})"));
  send(3, "brask_list_apps");
  EXPECT_EQ(answer(3), text_answer(3, R"({
  "apps": [
    {
      "app": "lumeno",
      "name": "Lumeno",
      "started": true,
      "tools": 9
    },
    {
      "app": "kinetta",
      "name": "Kinetta",
      "started": false
    },
    {
      "app": "ghost",
      "name": "Ghost",
      "started": false
    }
  ]
})"));
  EXPECT_EQ(testing::read_count_file(lumeno_starts_).size(), 1u);
  EXPECT_EQ(testing::read_count_file(kinetta_starts_).size(), 0u);
}

TEST_F(FakeAppsSession, SearchOfAllAppsReportsTheOneThatCannotStart) {
  start();
  const std::string ghost_failure =
      "could not start Ghost (/nonexistent/ghost): No such file or directory (os error 2)";
  send(1, "brask_find_tools", R"({"query":"SLEEP!","limit":3})");
  EXPECT_EQ(answer(1), text_answer(1, R"({
  "tools": [
    {
      "app": "lumeno",
      "summary": "Built-in tool sleep",
      "tool": "sleep"
    },
    {
      "app": "kinetta",
      "summary": "Built-in tool sleep",
      "tool": "sleep"
    }
  ],
  "unavailable": [
    {
      "app": "ghost",
      "error": ")" + ghost_failure + R"("
    }
  ]
})"));
  send(2, "brask_find_tools", R"({"query":"sleep","app":"GHOST"})");
  EXPECT_EQ(answer(2), error_answer(2, ghost_failure));
  send(3, "brask_find_tools", R"({"query":"sleep","app":"nope"})");
  EXPECT_EQ(answer(3), error_answer(3, "no app `nope`; available: lumeno, kinetta, ghost"));
  send(4, "brask_find_tools", R"({"query":"zzz","app":"kinetta"})");
  EXPECT_EQ(answer(4), text_answer(4, "{\n  \"tools\": []\n}"));
}

TEST_F(FakeAppsSession, ASearchWithoutHitsPointsToCommandTools) {
  start({"--extra-tool", "run_command"},
        {"--extra-tool", "ListCommands", "--extra-tool", "list_commands"});
  send(1, "brask_find_tools", R"({"query":"zzz"})");
  EXPECT_EQ(answer(1), text_answer(1, R"x({
  "hint": "No tool matched. These tools list or run an app's own commands; describe one and search its commands: lumeno/run_command, kinetta/list_commands",
  "tools": [],
  "unavailable": [
    {
      "app": "ghost",
      "error": "could not start Ghost (/nonexistent/ghost): No such file or directory (os error 2)"
    }
  ]
})x"));
  send(2, "brask_call_tool", R"({"app":"kinetta","tool":"list_commands","arguments":{"q":"x"}})");
  EXPECT_EQ(answer(2), app_answer(2, ECHO_RESULT + R"({"q":"x"}})"));
}

TEST_F(FakeAppsSession, DescribeAndCall) {
  start();
  send(1, "brask_describe_tool", R"({"app":"lumeno","tool":"echo"})");
  EXPECT_EQ(answer(1), text_answer(1, R"({
  "description": "Built-in tool echo",
  "inputSchema": {
    "type": "object"
  },
  "name": "echo"
})"));
  send(2, "brask_describe_tool", R"({"app":"lumeno","tool":"Echo"})");
  EXPECT_EQ(answer(2),
            error_answer(2, "lumeno has no tool `Echo`; use brask_find_tools to look for one"));
  send(
      3, "brask_call_tool",
      R"({"app":"kinetta","tool":"echo","arguments":{"z":1e2,"a":[true,null]},"timeoutSeconds":5})");
  EXPECT_EQ(answer(3), app_answer(3, ECHO_RESULT + R"({"a":[true,null],"z":100.0}})"));
  send(4, "brask_call_tool", R"({"app":"kinetta","tool":"echo","arguments":[]})");
  EXPECT_EQ(answer(4), error_answer(4, "`arguments` must be an object"));
  // The app's own error comes back as a failure of the call.
  send(
      5, "brask_call_tool",
      R"({"app":"kinetta","tool":"respond","arguments":{"response":{"error":{"code":-1,"message":"no canvas"}}}})");
  EXPECT_EQ(answer(5), error_answer(5, "no canvas"));
}

TEST_F(FakeAppsSession, ATimedOutCallIsFollowedByAFreshServer) {
  start();
  send(1, "brask_call_tool",
       R"({"app":"lumeno","tool":"sleep","arguments":{"ms":20000},"timeoutSeconds":1})");
  EXPECT_EQ(answer(1), error_answer(1, "the app did not answer `tools/call` within 1s"));
  // Ended, not yet stopped: shown as not started, its catalogue still counted.
  EXPECT_NE(text_of(ask("brask_list_apps"))
                .find("\"app\": \"lumeno\",\n      \"name\": \"Lumeno\",\n      \"started\": "
                      "false,\n      \"tools\": 9"),
            std::string::npos);
  send(2, "brask_call_tool", R"({"app":"lumeno","tool":"echo"})");
  EXPECT_EQ(answer(2), app_answer(2, ECHO_RESULT + "{}}"));
  std::vector<pid_t> pids = testing::read_count_file(lumeno_starts_);
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_FALSE(testing::process_exists(pids[0]));
}

TEST_F(FakeAppsSession, ACallSeesTheAppsNewToolList) {
  start({"--changed-after-call", "1"});
  send(1, "brask_call_tool", R"({"app":"lumeno","tool":"added-1"})");
  EXPECT_EQ(answer(1),
            error_answer(1, "lumeno has no tool `added-1`; use brask_find_tools to look for one"));
  send(2, "brask_call_tool", R"({"app":"lumeno","tool":"echo"})");
  EXPECT_EQ(answer(2), app_answer(2, ECHO_RESULT + "{}}"));
  // The announcement follows the answer above; this answer comes after it for sure.
  send(3, "brask_call_tool", R"({"app":"lumeno","tool":"echo"})");
  EXPECT_EQ(answer(3), app_answer(3, ECHO_RESULT + "{}}"));
  // Forwarded now: the gateway read the new list; the app answers with its own error.
  send(4, "brask_call_tool", R"({"app":"lumeno","tool":"added-1"})");
  EXPECT_EQ(answer(4), error_answer(4, "unknown tool added-1"));
  EXPECT_EQ(testing::read_count_file(lumeno_starts_).size(), 1u);
}

TEST_F(FakeAppsSession, AgentsTurnedOffDuringACall) {
  start();
  EXPECT_EQ(ask("brask_call_tool", R"({"app":"kinetta","tool":"echo"})"),
            app_answer(1000, ECHO_RESULT + "{}}"));
  EXPECT_EQ(ask("brask_call_tool", R"({"app":"lumeno","tool":"echo"})"),
            app_answer(1001, ECHO_RESULT + "{}}"));
  send(1, "brask_call_tool", R"({"app":"lumeno","tool":"sleep","arguments":{"ms":3000}})");
  ASSERT_TRUE(wait_until_busy("lumeno"));
  remove_apps_file();
  const std::string off =
      "AI agents are turned off for the Brask apps. Turn on Velmora Launcher \u203a Settings "
      "\u203a AI agents \u203a Let AI agents use Brask apps, then try again.";
  send(2, "brask_describe_tool");
  EXPECT_EQ(answer(2, AT_ONCE), error_answer(2, off));
  // The idle app is stopped by the refusal itself.
  std::vector<pid_t> kinetta = testing::read_count_file(kinetta_starts_);
  ASSERT_EQ(kinetta.size(), 1u);
  EXPECT_FALSE(testing::process_exists(kinetta[0]));
  // The running call still delivers its result; the server is stopped before it is sent.
  EXPECT_EQ(answer(1), app_answer(1, ECHO_RESULT + R"({"ms":3000}})"));
  std::vector<pid_t> lumeno = testing::read_count_file(lumeno_starts_);
  ASSERT_EQ(lumeno.size(), 1u);
  EXPECT_FALSE(testing::process_exists(lumeno[0]));
  write_apps_file(R"({"version":1})");
  EXPECT_EQ(text_of(ask("brask_list_apps")).find("\"started\": true"), std::string::npos);
}

TEST_F(FakeAppsSession, AnAppInUseHoldsUpNoOtherRequest) {
  start();
  // Both servers running, their catalogues cached.
  EXPECT_NE(text_of(ask("brask_find_tools", R"({"query":"echo"})")), "");
  send(1, "brask_call_tool", R"({"app":"lumeno","tool":"sleep","arguments":{"ms":6000}})");
  ASSERT_TRUE(wait_until_busy("lumeno"));
  const Clock::time_point start = Clock::now();
  send(2, "brask_find_tools", R"({"query":"fds"})");
  send(3, "brask_call_tool", R"({"app":"kinetta","tool":"echo"})");
  send(4, "brask_describe_tool", R"({"app":"lumeno","tool":"fds"})");
  send(5, "brask_list_apps");
  EXPECT_NE(text_of(answer(2, AT_ONCE)).find("\"tool\": \"fds\""), std::string::npos);
  EXPECT_EQ(answer(3, AT_ONCE), app_answer(3, ECHO_RESULT + "{}}"));
  EXPECT_NE(text_of(answer(4, AT_ONCE)).find("\"name\": \"fds\""), std::string::npos);
  EXPECT_NE(text_of(answer(5, AT_ONCE)).find("\"busy\": true"), std::string::npos);
  EXPECT_LT(Clock::now() - start, AT_ONCE);
  EXPECT_EQ(answer(1), app_answer(1, ECHO_RESULT + R"({"ms":6000}})"));
}

// Each of the sixteen lasts at least 300 ms whichever takes its app's lock first, so none
// can have finished when the seventeenth is read.
TEST_F(FakeAppsSession, TheSeventeenthRequestIsTurnedAwayWhileSixteenRun) {
  start();
  const std::string sleep = R"(","tool":"sleep","arguments":{"ms":300}})";
  for (int id = 1; id <= 16; ++id)
    send(id, "brask_call_tool",
         std::string(R"({"app":")") + (id % 2 ? "lumeno" : "kinetta") + sleep);
  send(17, "brask_list_apps");
  EXPECT_EQ(
      answer(17),
      R"({"error":{"code":-32000,"message":"16 requests are already running; try again when one finishes"},"id":17,"jsonrpc":"2.0"})");
  for (int id = 1; id <= 16; ++id) {
    EXPECT_EQ(answer(id), app_answer(id, ECHO_RESULT + R"({"ms":300}})")) << id;
  }
  EXPECT_EQ(testing::read_count_file(lumeno_starts_).size(), 1u);
  EXPECT_EQ(testing::read_count_file(kinetta_starts_).size(), 1u);
}

}  // namespace
}  // namespace brask
