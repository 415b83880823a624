#include "apps/tool_calls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "apps/registry.h"
#include "json/parse.h"
#include "json/render.h"
#include "support/paths.h"
#include "support/resources.h"
#include "support/slots.h"

namespace brask {
namespace {

using testing::failing_starter;
using testing::hold_catalogue;
using testing::missing_app;
using testing::tool_entry;

TEST(FindApp, MatchesTheTrimmedLowerCasedReferenceAgainstIds) {
  const std::vector<AppEntry> apps = {missing_app("lumeno"), missing_app("kinetta"),
                                      missing_app("brask-anything")};
  const struct {
    std::string_view reference, want;  // want: the position, or the message
  } cases[] = {
      {"lumeno", "0"},
      {"LUMENO", "0"},
      {" kinetta\t", "1"},
      {"\u3000Kinetta\u00a0", "1"},
      {"Brask-Anything", "2"},
      {"Brask Anything", "no app `Brask Anything`; available: lumeno, kinetta, brask-anything"},
      {"nope", "no app `nope`; available: lumeno, kinetta, brask-anything"},
      {"", "no app ``; available: lumeno, kinetta, brask-anything"},
      {"lu meno", "no app `lu meno`; available: lumeno, kinetta, brask-anything"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reference);
    Result<size_t> found = find_app(apps, c.reference);
    EXPECT_EQ(found.ok() ? std::to_string(*found) : found.error(), c.want);
  }
  Result<size_t> none = find_app({}, " Lumeno");
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(),
            "no Brask app is available to agents (asked for ` Lumeno`); turn agents on in the "
            "Velmora Launcher");
}

TEST(DescribeTool, ReturnsTheWholeFirstEntryWithThatExactName) {
  std::atomic<int> starts{0};
  Gateway gateway({missing_app("lumeno")}, {}, failing_starter(&starts));
  Result<JsonValue> odd = parse_json(
      R"({"name":"blur","title":"Blur","inputSchema":{"type":"object"},"x-extra":[1,2.5]})");
  ASSERT_TRUE(odd.ok());
  hold_catalogue(gateway, 0,
                 {JsonValue(7), JsonObject{{"name", 5}}, *odd, tool_entry("blur", "second")});
  const struct {
    std::string_view app, tool, want;
  } cases[] = {
      {"Lumeno", "blur",
       R"({"inputSchema":{"type":"object"},"name":"blur","title":"Blur","x-extra":[1,2.5]})"},
      {"Lumeno", "Blur", "Lumeno has no tool `Blur`; use brask_find_tools to look for one"},
      {"lumeno", " blur", "lumeno has no tool ` blur`; use brask_find_tools to look for one"},
      {"kinetta", "blur", "no app `kinetta`; available: lumeno"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.app) + "/" + std::string(c.tool));
    Result<JsonValue> described = describe_tool(gateway, c.app, c.tool);
    EXPECT_EQ(described.ok() ? render_compact(*described) : described.error(), c.want);
  }
  EXPECT_EQ(starts.load(), 0);
}

TEST(RunAppTool, SendsNothingForAnUnlistedToolOrWhileAgentsAreOff) {
  std::atomic<int> starts{0};
  std::atomic<bool> agents{true};
  Gateway gateway({missing_app("lumeno")}, {}, failing_starter(&starts),
                  [&agents] { return agents.load(); });
  hold_catalogue(gateway, 0, {tool_entry("blur")});

  Result<JsonValue> unlisted = run_app_tool(gateway, "lumeno", "BLUR", JsonObject{}, 5);
  ASSERT_FALSE(unlisted.ok());
  EXPECT_EQ(unlisted.error(), "lumeno has no tool `BLUR`; use brask_find_tools to look for one");

  agents = false;
  Result<JsonValue> refused = run_app_tool(gateway, "lumeno", "blur", JsonObject{}, 5);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), AGENTS_OFF_MESSAGE);
  EXPECT_EQ(starts.load(), 0);
  EXPECT_FALSE(gateway.look_at_slot(0).tool_count);  // forgotten with the stop
}

class RunAppToolOnFakeApp : public testing::NoLeaksTest {
 protected:
  RunAppToolOnFakeApp()
      : count_file(temp_.path() + "/starts"),
        gateway(std::in_place,
                std::vector<AppEntry>{
                    AppEntry{"fake",
                             "Fake",
                             testing::program_path("fake-app"),
                             {"--changed-after-call", "1", "--count-file", count_file}}},
                std::vector<std::string>{}) {}

  void TearDown() override {
    gateway.reset();  // stops the app before the leak check
    NoLeaksTest::TearDown();
  }

  std::string called(std::string_view tool, std::string_view arguments, uint64_t timeout = 10) {
    Result<JsonValue> args = parse_json(arguments);
    EXPECT_TRUE(args.ok());
    Result<JsonValue> result = run_app_tool(*gateway, "fake", tool, *args, timeout);
    return result.ok() ? render_compact(*result) : "error: " + result.error();
  }

  testing::TempDir temp_;
  std::string count_file;
  std::optional<Gateway> gateway;
};

TEST_F(RunAppToolOnFakeApp, ForwardsCallsAndFollowsTheAppsToolList) {
  EXPECT_EQ(called("added-1", "{}"),
            "error: fake has no tool `added-1`; use brask_find_tools to look for one");
  EXPECT_EQ(
      called("echo", R"({"b":[1,-2,0.5],"a":"x"})"),
      R"({"content":[{"text":"echo","type":"text"}],"structuredContent":{"a":"x","b":[1,-2,0.5]}})");
  // The app announces a new tool after answering that call; the announcement has surely
  // arrived once the next answer has. The new tool is listed and forwarded then (the app
  // itself answers it with an error of its own).
  EXPECT_EQ(called("echo", "{}"),
            R"({"content":[{"text":"echo","type":"text"}],"structuredContent":{}})");
  EXPECT_EQ(called("added-1", "{}"), "error: unknown tool added-1");
  EXPECT_EQ(testing::read_count_file(count_file).size(), 1u);
}

TEST_F(RunAppToolOnFakeApp, ReplacesTheServerAfterATimeOut) {
  EXPECT_EQ(called("sleep", R"({"ms":5000})", 1),
            "error: the app did not answer `tools/call` within 1s");
  EXPECT_EQ(called("echo", "{}"),
            R"({"content":[{"text":"echo","type":"text"}],"structuredContent":{}})");
  std::vector<pid_t> pids = testing::read_count_file(count_file);
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_FALSE(testing::process_exists(pids[0]));
}

}  // namespace
}  // namespace brask
