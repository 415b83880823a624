#include "apps/child/tools.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "apps/child/client.h"
#include "apps/child/spawn.h"
#include "json/parse.h"
#include "json/render.h"
#include "support/resources.h"

namespace brask {
namespace {

using namespace std::chrono_literals;
using testing::fake_app_entry;
using ToolsTest = testing::NoLeaksTest;

const std::vector<std::string> BUILT_IN = {"echo",    "sleep", "info", "fds", "ask",
                                           "respond", "huge",  "deaf", "quit"};

std::vector<std::string> names_with(int generated) {
  std::vector<std::string> names = BUILT_IN;
  for (int i = 0; i < generated; ++i)
    names.push_back("tool-" + std::to_string(i));
  return names;
}

std::string outcome(const Result<JsonValue>& r) {
  return r.ok() ? "ok " + render_compact(*r) : "failed " + r.error();
}

TEST_F(ToolsTest, ListsEveryPage) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> want;  // empty when a failure is expected
    std::string want_failure;
  } cases[] = {
      {"one page", {"--tools", "3"}, names_with(3), ""},
      {"64 pages, one tool each", {"--tools", "55", "--pages", "64"}, names_with(55), ""},
      {"more pages than tools", {"--pages", "20"}, names_with(0), ""},
      {"an empty cursor is sent back as it is",
       {"--tools", "4", "--pages", "3", "--empty-cursor"},
       names_with(4),
       ""},
      {"bad entries are skipped", {"--tools", "1", "--bad-entries"}, names_with(1), ""},
      {"65 pages",
       {"--tools", "56", "--pages", "65"},
       {},
       "the app lists its tools in more than 64 pages"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Result<AppConnection> started = start_app(fake_app_entry(c.args));
    ASSERT_TRUE(started.ok()) << started.error();
    Result<std::vector<JsonValue>> tools = list_tools(*started);
    if (!c.want_failure.empty()) {
      ASSERT_FALSE(tools.ok());
      EXPECT_EQ(tools.error(), c.want_failure);
      continue;
    }
    ASSERT_TRUE(tools.ok()) << tools.error();
    std::vector<std::string> names;
    for (const JsonValue& tool : *tools)
      names.emplace_back(*tool.find("name")->as_string());
    EXPECT_EQ(names, c.want);
  }
}

TEST_F(ToolsTest, KeepsEachToolWhole) {
  Result<AppConnection> started = start_app(fake_app_entry({"--tools", "1"}));
  ASSERT_TRUE(started.ok()) << started.error();
  Result<std::vector<JsonValue>> tools = list_tools(*started);
  ASSERT_TRUE(tools.ok()) << tools.error();
  EXPECT_EQ(
      render_compact(tools->back()),
      R"({"description":"Generated tool 0","inputSchema":{"type":"object"},"name":"tool-0"})");
}

TEST_F(ToolsTest, CallOutcomes) {
  const struct {
    const char* name;
    const char* tool;
    std::string arguments;
    std::chrono::nanoseconds timeout;
    std::string want;
  } cases[] = {
      {"echo", "echo", R"({"a":[1,"x"]})", 10s,
       R"(ok {"content":[{"text":"echo","type":"text"}],"structuredContent":{"a":[1,"x"]}})"},
      {"error with a message", "respond",
       R"({"response":{"error":{"code":1,"message":"no such thing"}}})", 10s,
       "failed no such thing"},
      {"null error", "respond", R"({"response":{"error":null}})", 10s,
       "failed the app returned an error"},
      {"error without a message", "respond", R"({"response":{"error":{"code":2}}})", 10s,
       "failed the app returned an error"},
      {"no result", "respond", R"({"response":{}})", 10s, "ok null"},
      {"app-level tool error passes through", "respond",
       R"({"response":{"result":{"content":[],"isError":true}}})", 10s,
       R"(ok {"content":[],"isError":true})"},
      {"id as a string", "respond", R"({"id_as":"string","response":{"result":{}}})", 100ms,
       "failed the app did not answer `tools/call` within 0s"},
      {"id as 1.0", "respond", R"({"id_as":"double","response":{"result":{}}})", 100ms,
       "failed the app did not answer `tools/call` within 0s"},
      {"slow tool", "sleep", R"({"ms":60000})", 100ms,
       "failed the app did not answer `tools/call` within 0s"},
      {"ping from the app", "ask", R"({"id":"abc","method":"ping"})", 10s,
       R"(ok {"content":[{"text":"echo","type":"text"}],"structuredContent":{"reply":)"
       R"({"id":"abc","jsonrpc":"2.0","result":{}}}})"},
      {"sampling request from the app", "ask", R"({"id":5,"method":"sampling/createMessage"})", 10s,
       R"(ok {"content":[{"text":"echo","type":"text"}],"structuredContent":{"reply":)"
       R"({"error":{"code":-32601,"message":"not supported by the Brask gateway"},)"
       R"("id":5,"jsonrpc":"2.0"}}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Log lines and CRLF line ends on every answer must not matter.
    Result<AppConnection> started = start_app(fake_app_entry({"--log-lines", "--crlf"}));
    ASSERT_TRUE(started.ok()) << started.error();
    Result<JsonValue> arguments = parse_json(c.arguments);
    ASSERT_TRUE(arguments.ok());
    EXPECT_EQ(outcome(call_tool(*started, c.tool, std::move(arguments).take(), c.timeout)), c.want);
  }
}

TEST_F(ToolsTest, TimedOutConnectionRefusesTheNextCall) {
  Result<AppConnection> started = start_app(fake_app_entry({}));
  ASSERT_TRUE(started.ok()) << started.error();
  const std::string text = "failed the app did not answer `tools/call` within 0s";
  EXPECT_EQ(outcome(call_tool(*started, "sleep", JsonObject{{"ms", 60000}}, 50ms)), text);
  EXPECT_EQ(outcome(call_tool(*started, "echo", JsonObject(), 10s)), text);
}

TEST_F(ToolsTest, ChangeAnnouncedAfterACallLeadsToANewList) {
  Result<AppConnection> started = start_app(fake_app_entry({"--changed-after-call", "1"}));
  ASSERT_TRUE(started.ok()) << started.error();
  ASSERT_TRUE(call_tool(*started, "echo", JsonObject(), 10s).ok());
  // The notification follows the answer; the next request sees it on the way.
  Result<std::vector<JsonValue>> tools = list_tools(*started);
  ASSERT_TRUE(tools.ok()) << tools.error();
  EXPECT_EQ(*tools->back().find("name"), JsonValue("added-1"));
  EXPECT_TRUE(poll(*started));
  EXPECT_FALSE(poll(*started));
}

TEST_F(ToolsTest, LinesAtAndOverTheLimit) {
  Result<AppConnection> started = start_app(fake_app_entry({}));
  ASSERT_TRUE(started.ok()) << started.error();
  JsonValue at_limit = JsonObject{{"bytes", MAX_APP_LINE_BYTES}, {"json", true}};
  EXPECT_TRUE(call_tool(*started, "huge", std::move(at_limit), 60s).ok());
  JsonValue over = JsonObject{{"bytes", MAX_APP_LINE_BYTES + 1}};
  EXPECT_EQ(outcome(call_tool(*started, "huge", std::move(over), 60s)),
            "failed the app sent a message larger than 67108864 bytes");
}

TEST_F(ToolsTest, AppThatStopsReadingFailsSendsAtOnce) {
  Result<AppConnection> started = start_app(fake_app_entry({}));
  ASSERT_TRUE(started.ok()) << started.error();
  ASSERT_TRUE(call_tool(*started, "deaf", JsonObject(), 10s).ok());
  JsonValue big = std::string(4096, 'q');
  Result<void> sent;
  int count = 0;
  while ((sent = notify(*started, "notifications/filler", big)).ok()) {
    ASSERT_LT(++count, 10000) << "sending never failed";
  }
  EXPECT_EQ(sent.error(), "writing to the app failed: it stopped reading");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(call_tool(*started, "echo", JsonObject(), 60s)),
            "failed writing to the app failed: it stopped reading");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace brask
