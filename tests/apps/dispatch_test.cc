#include "apps/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <string_view>

#include "apps/registry.h"
#include "json/parse.h"
#include "json/render.h"

namespace brask {
namespace {

JsonValue parsed(std::string_view text) {
  Result<JsonValue> value = parse_json(text);
  EXPECT_TRUE(value.ok()) << text;
  return value.ok() ? std::move(value).take() : JsonValue();
}

std::string call_described(const Result<CallToolArguments>& read) {
  if (!read.ok())
    return read.error();
  return read->app + "|" + read->tool + "|" + render_compact(read->arguments) + "|" +
         std::to_string(read->timeout_secs);
}

TEST(CallToolArguments, AppliesEachRuleAndReportsTheFirstFailure) {
  const struct {
    std::string_view arguments, want;
  } cases[] = {
      {R"({"app":"lumeno","tool":"blur"})", "lumeno|blur|{}|600"},
      {R"({"app":" lumeno ","tool":"blur ","arguments":null,"timeoutSeconds":null})",
       " lumeno |blur |{}|600"},
      {R"({"app":"a","tool":"t","arguments":{"r":2},"timeoutSeconds":1})", "a|t|{\"r\":2}|1"},
      {R"({"app":"a","tool":"t","timeoutSeconds":3601})", "a|t|{}|3600"},
      {R"({"app":"a","tool":"t","timeoutSeconds":18446744073709551615})", "a|t|{}|3600"},
      {R"({"tool":"t"})", "`app` is required and must be a string"},
      {R"({"app":"   ","tool":"t"})", "`app` is required and must be a string"},
      {"{\"app\":\"\\u3000\\u00a0\",\"tool\":\"t\"}", "`app` is required and must be a string"},
      {R"({"app":7,"tool":"t"})", "`app` is required and must be a string"},
      {R"({"app":null,"tool":"t"})", "`app` is required and must be a string"},
      {R"({"app":"a","tool":""})", "`tool` is required and must be a string"},
      {R"({"app":"a","arguments":5})", "`tool` is required and must be a string"},
      {R"(["lumeno","blur"])", "`app` is required and must be a string"},
      {R"({"app":"a","tool":"t","arguments":[]})", "`arguments` must be an object"},
      {R"({"app":"a","tool":"t","arguments":"{}"})", "`arguments` must be an object"},
      {R"({"app":"a","tool":"t","arguments":3,"timeoutSeconds":0})",
       "`arguments` must be an object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(call_described(read_call_tool_arguments(parsed(c.arguments))), c.want);
  }
}

TEST(CallToolArguments, RefusesEveryTimeOutThatIsNotAWholeNumberOfAtLeastOne) {
  const std::string_view want = "`timeoutSeconds` must be a whole number of seconds, at least 1";
  for (std::string_view timeout :
       {"0", "-5", "1.5", "10.0", "1e1", "\"10\"", "true", "[]", "{}", "18446744073709551616"}) {
    SCOPED_TRACE(timeout);
    std::string arguments =
        R"({"app":"a","tool":"t","timeoutSeconds":)" + std::string(timeout) + "}";
    EXPECT_EQ(call_described(read_call_tool_arguments(parsed(arguments))), want);
  }
}

TEST(FindToolsArguments, AppliesEachRuleAndReportsTheFirstFailure) {
  const struct {
    std::string_view arguments, want;  // want: "query|app or -|limit" or the message
  } cases[] = {
      {R"({})", "|-|20"},
      {R"([1,2])", "|-|20"},
      {R"("blur")", "|-|20"},
      {R"({"query":null,"app":null,"limit":null})", "|-|20"},
      {R"({"query":" blur ","app":" Lumeno ","limit":0})", " blur | Lumeno |0"},
      {R"({"query":"x","app":"","limit":500})", "x|-|500"},
      {"{\"app\":\" \\t\\u2028\"}", "|-|20"},
      {R"({"query":5})", "`query` must be a string"},
      {R"({"query":5,"app":7})", "`query` must be a string"},
      {R"({"app":7})", "`app` must be a string"},
      {R"({"app":7,"limit":-1})", "`app` must be a string"},
      {R"({"limit":-1})", "`limit` must be a positive whole number"},
      {R"({"limit":20.0})", "`limit` must be a positive whole number"},
      {R"({"limit":2e1})", "`limit` must be a positive whole number"},
      {R"({"limit":"20"})", "`limit` must be a positive whole number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    Result<FindToolsArguments> read = read_find_tools_arguments(parsed(c.arguments));
    std::string got =
        read.ok() ? read->query + "|" + read->app.value_or("-") + "|" + std::to_string(read->limit)
                  : read.error();
    EXPECT_EQ(got, c.want);
  }
}

TEST(ToolResults, CarryPrettyTextOrTheMessage) {
  EXPECT_EQ(render_compact(json_result(parsed(R"({"apps":[]})"))),
            R"({"content":[{"text":"{\n  \"apps\": []\n}","type":"text"}]})");
  EXPECT_EQ(
      render_compact(error_result("`app` is required and must be a string")),
      R"({"content":[{"text":"`app` is required and must be a string","type":"text"}],"isError":true})");
}

TEST(Dispatch, RecognisesOnlyTheExactToolNames) {
  Gateway gateway({}, {});
  for (std::string_view name :
       {"Brask_list_apps", " brask_list_apps", "brask_list_apps ", "brask_find", ""}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(dispatch_tool(gateway, name, JsonObject{}).has_value());
  }
}

TEST(Dispatch, AnswersEveryToolWithTheAgentsOffMessageBeforeReadingArguments) {
  std::atomic<int> asked{0};
  Gateway gateway({AppEntry{"lumeno", "Lumeno", "/nonexistent/lumeno", {}}}, {},
                  Gateway::default_app_starter(), [&asked] {
                    ++asked;
                    return false;
                  });
  const std::string want = render_compact(error_result(AGENTS_OFF_MESSAGE));
  for (std::string_view name :
       {"brask_list_apps", "brask_find_tools", "brask_describe_tool", "brask_call_tool"}) {
    SCOPED_TRACE(name);
    std::optional<JsonValue> answer = dispatch_tool(gateway, name, JsonValue(5));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(render_compact(*answer), want);
  }
  EXPECT_EQ(asked.load(), 4);
}

TEST(Dispatch, WrapsEachToolsOutcome) {
  Gateway gateway({}, {"`x y`: not a valid app id"});
  const struct {
    std::string_view name, arguments, want;
  } cases[] = {
      {"brask_list_apps", R"("ignored")",
       R"({"content":[{"text":"{\n  \"apps\": [],\n  \"notes\": [\n    \"`x y`: not a valid app id\"\n  ]\n}","type":"text"}]})"},
      {"brask_find_tools", R"({"query":"blur"})",
       R"({"content":[{"text":"{\n  \"tools\": []\n}","type":"text"}]})"},
      {"brask_find_tools", R"({"app":"lumeno"})",
       R"({"content":[{"text":"no Brask app is available to agents (asked for `lumeno`); turn agents on in the Velmora Launcher","type":"text"}],"isError":true})"},
      {"brask_describe_tool", R"({"app":"lumeno"})",
       R"({"content":[{"text":"`tool` is required and must be a string","type":"text"}],"isError":true})"},
      {"brask_call_tool", R"({"app":"Lumeno","tool":"blur"})",
       R"({"content":[{"text":"no Brask app is available to agents (asked for `Lumeno`); turn agents on in the Velmora Launcher","type":"text"}],"isError":true})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::string(c.arguments));
    std::optional<JsonValue> answer = dispatch_tool(gateway, c.name, parsed(c.arguments));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(render_compact(*answer), c.want);
  }
}

}  // namespace
}  // namespace brask
