#include "apps/find_tools.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <new>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "json/render.h"
#include "support/slots.h"

namespace brask {
namespace {

using testing::failing_starter;
using testing::hold_catalogue;
using testing::missing_app;
using testing::tool_entry;

std::string searched(Gateway& gateway, std::string_view query,
                     std::optional<std::string_view> app = std::nullopt, uint64_t limit = 20) {
  Result<JsonValue> result = find_tools(gateway, query, app, limit);
  return result.ok() ? render_compact(*result) : "error: " + result.error();
}

class FindTools : public ::testing::Test {
 protected:
  // kinetta and lumeno hold catalogues; broken cannot be started.
  FindTools()
      : gateway({missing_app("kinetta"), missing_app("broken"), missing_app("lumeno")}, {},
                failing_starter(&starts)) {
    hold_catalogue(gateway, 0,
                   {tool_entry("deblur", "Sharpen.\nMore."), tool_entry("crop", "Crop it."),
                    tool_entry("blur_more")});
    hold_catalogue(gateway, 2,
                   {tool_entry("gaussian_blur", "Blur softly."), tool_entry("levels"),
                    tool_entry("motion", "Blurs along a line.")});
  }

  std::atomic<int> starts{0};
  Gateway gateway;
};

TEST_F(FindTools, RanksHitsAcrossAppsWithTiesInRegistryThenCatalogueOrder) {
  const char* broken =
      R"("unavailable":[{"app":"broken","error":"could not start broken: no server here"}])";
  EXPECT_EQ(searched(gateway, "blur"),
            std::string(R"({"tools":[)") + R"({"app":"kinetta","summary":"","tool":"blur_more"},)" +
                R"({"app":"lumeno","summary":"Blur softly.","tool":"gaussian_blur"},)" +
                R"({"app":"kinetta","summary":"Sharpen.","tool":"deblur"},)" +
                R"({"app":"lumeno","summary":"Blurs along a line.","tool":"motion"}],)" + broken +
                "}");
  EXPECT_EQ(searched(gateway, "blur", std::nullopt, 2),
            std::string(R"({"tools":[)") + R"({"app":"kinetta","summary":"","tool":"blur_more"},)" +
                R"({"app":"lumeno","summary":"Blur softly.","tool":"gaussian_blur"}],)" + broken +
                "}");
  EXPECT_EQ(searched(gateway, "!?", std::nullopt, 0),
            std::string(R"({"tools":[{"app":"kinetta","summary":"Sharpen.","tool":"deblur"}],)") +
                broken + "}");
}

TEST_F(FindTools, OneAppIsSearchedAloneAndItsFailureIsTheAnswer) {
  EXPECT_EQ(searched(gateway, "", " LUMENO", 2),
            R"({"tools":[{"app":"lumeno","summary":"Blur softly.","tool":"gaussian_blur"},)"
            R"({"app":"lumeno","summary":"","tool":"levels"}]})");
  EXPECT_EQ(searched(gateway, "blur", "broken"), "error: could not start broken: no server here");
  EXPECT_EQ(searched(gateway, "blur", "nope"),
            "error: no app `nope`; available: kinetta, broken, lumeno");
  EXPECT_EQ(starts.load(), 1);
}

TEST(FindToolsHint, NamesCommandToolsOnlyWhenNothingMatched) {
  std::vector<JsonValue> many;
  for (int i = 0; i < 60; ++i)
    many.push_back(tool_entry("command_" + std::to_string(i)));
  std::string fifty;
  for (int i = 0; i < 50; ++i)
    fifty += (i ? ", b/command_" : "b/command_") + std::to_string(i);
  const std::string prefix =
      "No tool matched. These tools list or run an app's own commands; describe one and search "
      "its commands: ";
  const struct {
    const char* name;
    std::vector<JsonValue> a, b;
    std::string query, want;
  } cases[] = {
      {"two command tools; capital C does not count",
       {tool_entry("ListCommands"), tool_entry("list_commands"), tool_entry("crop")},
       {tool_entry("run_command")},
       "zzz",
       R"({"hint":")" + prefix + R"(a/list_commands, b/run_command","tools":[]})"},
      {"no command tool", {tool_entry("crop")}, {}, "zzz", R"({"tools":[]})"},
      {"at most fifty",
       {tool_entry("crop")},
       many,
       "zzz",
       R"({"hint":")" + prefix + fifty + R"(","tools":[]})"},
      {"a hit suppresses the hint",
       {tool_entry("run_command")},
       {tool_entry("crop")},
       "crop",
       R"({"tools":[{"app":"b","summary":"","tool":"crop"}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Gateway gateway({missing_app("a"), missing_app("b")}, {});
    hold_catalogue(gateway, 0, c.a);
    hold_catalogue(gateway, 1, c.b);
    EXPECT_EQ(searched(gateway, c.query), c.want);
  }
}

TEST(FindToolsEdges, NoAppsAndAllAppsFailing) {
  std::atomic<int> starts{0};
  Gateway empty({}, {}, failing_starter(&starts));
  EXPECT_EQ(searched(empty, "blur"), R"({"tools":[]})");
  EXPECT_EQ(searched(empty, "blur", "lumeno"),
            "error: no Brask app is available to agents (asked for `lumeno`); turn agents on in "
            "the Velmora Launcher");
  Gateway failing({missing_app("a"), missing_app("b")}, {}, failing_starter(&starts));
  EXPECT_EQ(searched(failing, ""),
            R"({"tools":[],"unavailable":[{"app":"a","error":"could not start a: no server here"},)"
            R"({"app":"b","error":"could not start b: no server here"}]})");
  EXPECT_EQ(starts.load(), 2);
  // An app whose reading runs out of memory is unavailable; the search still answers.
  Gateway starved({missing_app("a")}, {},
                  [](const AppEntry&) -> Result<AppConnection> { throw std::bad_alloc(); });
  EXPECT_EQ(searched(starved, ""),
            R"({"tools":[],"unavailable":[{"app":"a","error":"reading the app's tools failed"}]})");
}

// Every start waits until all apps are being started: a search that waited for one app
// before starting the next would never get there.
TEST(FindToolsWorkers, AllAppsAreReadAtOnce) {
  constexpr int APPS = 8;
  Mutex mutex;
  std::condition_variable_any arrived;
  int waiting = 0;
  AppStarter meeting = [&](const AppEntry& entry) -> Result<AppConnection> {
    MutexLock lock(mutex);
    ++waiting;
    arrived.notify_all();
    bool met = arrived.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(30),
                                  [&] { return waiting == APPS; });
    return fail(entry.id + (met ? " met the others" : " waited alone"));
  };
  std::vector<AppEntry> apps;
  for (int i = 0; i < APPS; ++i)
    apps.push_back(missing_app("app" + std::to_string(i)));
  Gateway gateway(apps, {}, meeting);
  Result<JsonValue> result = find_tools(gateway, "", std::nullopt, 20);
  ASSERT_TRUE(result.ok()) << result.error();
  auto unavailable = result->find("unavailable")->as_array();
  ASSERT_EQ(unavailable->size(), size_t{APPS});
  for (int i = 0; i < APPS; ++i) {
    EXPECT_EQ(render_compact((*unavailable)[i]), R"({"app":"app)" + std::to_string(i) +
                                                     R"(","error":"app)" + std::to_string(i) +
                                                     R"( met the others"})");
  }
}

}  // namespace
}  // namespace brask
