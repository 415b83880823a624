#include "apps/gateway.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "apps/child/spawn.h"
#include "apps/child/tools.h"
#include "apps/registry.h"
#include "json/render.h"
#include "support/resources.h"
#include "support/slots.h"

namespace brask {
namespace {

using namespace std::chrono_literals;
using testing::fake_app_entry;
using testing::process_exists;
using testing::read_count_file;

// One thread waits until another says go; the wait is bounded.
class Signal {
 public:
  void set() {
    MutexLock lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool wait() {
    MutexLock lock(mutex_);
    return changed_.wait_for(lock, 10s, [this]() REQUIRES(mutex_) { return set_; });
  }

 private:
  Mutex mutex_;
  std::condition_variable_any changed_;
  bool set_ GUARDED_BY(mutex_) = false;
};

class GatewayTest : public testing::NoLeaksTest {
 protected:
  // A gateway over fake apps, each with its own start counter, and a switchable
  // agents check.
  std::unique_ptr<Gateway> make_gateway(std::vector<std::vector<std::string>> app_args,
                                        AppStarter starter = Gateway::default_app_starter()) {
    std::vector<AppEntry> apps;
    for (size_t i = 0; i < app_args.size(); ++i) {
      std::vector<std::string> args = app_args[i];
      args.push_back("--count-file");
      args.push_back(count_file(i));
      apps.push_back(fake_app_entry(args, "App " + std::to_string(i)));
    }
    return std::make_unique<Gateway>(std::move(apps), std::vector<std::string>(),
                                     std::move(starter), [this] { return agents_on.load(); });
  }

  std::string count_file(size_t app) const { return dir_ + "/starts-" + std::to_string(app); }
  std::vector<pid_t> starts(size_t app = 0) const { return read_count_file(count_file(app)); }

  testing::TempDir temp_;
  const std::string dir_ = temp_.path();
  std::atomic<bool> agents_on{true};
};

std::vector<std::string> names(const ToolCatalogue& catalogue) {
  std::vector<std::string> out;
  for (const AppTool& tool : catalogue)
    out.emplace_back(*tool.find("name")->as_string());
  return out;
}

AppOperation call(std::string tool, JsonValue arguments = JsonObject(),
                  std::chrono::nanoseconds timeout = 10s) {
  return [tool, arguments, timeout](AppConnection& c, const std::shared_ptr<const ToolCatalogue>&) {
    return call_tool(c, tool, arguments, timeout);
  };
}

TEST_F(GatewayTest, FirstUseStartsAndListsOnceThenServesTheCache) {
  auto gateway = make_gateway({{"--tools", "2", "--pages", "2"}});
  auto first = gateway->app_tools(0);
  ASSERT_TRUE(first.ok()) << first.error();
  EXPECT_EQ(names(**first).size(), 11u);
  auto second = gateway->app_tools(0);
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_EQ(first->get(), second->get());  // the same shared list, not a copy
  EXPECT_EQ(starts().size(), 1u);
  SlotSnapshot seen = gateway->look_at_slot(0);
  EXPECT_FALSE(seen.busy);
  EXPECT_TRUE(seen.started);
  EXPECT_EQ(seen.tool_count, 11u);
}

TEST_F(GatewayTest, UnknownIndexIsNoSuchApp) {
  auto gateway = make_gateway({{}});
  auto tools = gateway->app_tools(1);
  ASSERT_FALSE(tools.ok());
  EXPECT_EQ(tools.error(), "no such app");
  auto used = gateway->use_app(7, call("echo"));
  ASSERT_FALSE(used.ok());
  EXPECT_EQ(used.error(), "no such app");
}

TEST_F(GatewayTest, ConcurrentFirstUsesStartOneProcess) {
  Signal second_asking;
  std::atomic<int> starter_calls{0};
  auto gateway = make_gateway({{}}, [&](const AppEntry& entry) {
    ++starter_calls;
    second_asking.wait();  // hold the start until the other thread is asking too
    return start_app(entry);
  });
  Result<std::shared_ptr<const ToolCatalogue>> a = fail("not run");
  Result<std::shared_ptr<const ToolCatalogue>> b = fail("not run");
  std::thread first([&] { a = gateway->app_tools(0); });
  std::thread second([&] {
    second_asking.set();
    b = gateway->app_tools(0);
  });
  first.join();
  second.join();
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->get(), b->get());
  EXPECT_EQ(starter_calls, 1);
  EXPECT_EQ(starts().size(), 1u);
}

TEST_F(GatewayTest, CachedToolsAreServedWhileALongCallHoldsTheApp) {
  auto gateway = make_gateway({{}, {}});
  auto cached = gateway->app_tools(0);
  ASSERT_TRUE(cached.ok()) << cached.error();
  Signal in_call;
  Result<JsonValue> long_call = fail("not run");
  std::thread caller([&] {
    long_call = gateway->use_app(0, [&](AppConnection& c, const auto&) {
      in_call.set();
      return call_tool(c, "sleep", JsonObject{{"ms", 600000}}, 600s);
    });
  });
  ASSERT_TRUE(in_call.wait());
  auto start = std::chrono::steady_clock::now();
  auto during = gateway->app_tools(0);
  auto other_app = gateway->app_tools(1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_TRUE(during.ok() && other_app.ok());
  EXPECT_EQ(during->get(), cached->get());
  EXPECT_TRUE(gateway->look_at_slot(0).busy);
  // End the call the hard way: the app dies under it.
  ASSERT_EQ(::kill(starts(0).at(0), SIGKILL), 0);
  caller.join();
  ASSERT_FALSE(long_call.ok());
  EXPECT_EQ(long_call.error(), "the app closed its MCP connection");
  EXPECT_FALSE(gateway->look_at_slot(0).started);
}

TEST_F(GatewayTest, ToolListChangeIsListedAgainOverTheSameConnection) {
  auto gateway = make_gateway({{"--changed-after-call", "1"}});
  auto before = gateway->app_tools(0);
  ASSERT_TRUE(before.ok()) << before.error();
  // The notification follows the first answer, so the second call sees it.
  ASSERT_TRUE(gateway
                  ->use_app(0,
                            [](AppConnection& c, const auto&) {
                              EXPECT_TRUE(call_tool(c, "echo", JsonObject(), 10s).ok());
                              return call_tool(c, "echo", JsonObject(), 10s);
                            })
                  .ok());
  auto after = gateway->app_tools(0);
  ASSERT_TRUE(after.ok()) << after.error();
  EXPECT_EQ(names(**after).back(), "added-1");
  EXPECT_EQ(names(**before).size() + 1, names(**after).size());
  EXPECT_EQ(starts().size(), 1u);
}

TEST_F(GatewayTest, EndedConnectionsAreReplacedOnNextUse) {
  const struct {
    const char* name;
    AppOperation ending;
    std::string want_error;  // empty: the operation succeeds
  } cases[] = {
      {"server exits between requests",
       [](AppConnection& c, const auto&) {
         EXPECT_TRUE(call_tool(c, "quit", JsonObject(), 10s).ok());
         // Wait for the end to be noticed, so the next use sees it for sure.
         return call_tool(c, "echo", JsonObject(), 10s);
       },
       "either"},
      {"call times out",
       [](AppConnection& c, const auto&) {
         return call_tool(c, "sleep", JsonObject{{"ms", 60000}}, 50ms);
       },
       "the app did not answer `tools/call` within 0s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto gateway = make_gateway({{}});
    ASSERT_TRUE(gateway->app_tools(0).ok());
    Result<JsonValue> ended = gateway->use_app(0, c.ending);
    ASSERT_FALSE(ended.ok());
    if (c.want_error != "either") {
      EXPECT_EQ(ended.error(), c.want_error);
    }
    EXPECT_FALSE(gateway->look_at_slot(0).started);
    auto again = gateway->app_tools(0);
    ASSERT_TRUE(again.ok()) << again.error();
    std::vector<pid_t> pids = starts();
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_FALSE(process_exists(pids[0]));  // killed and reaped
    EXPECT_TRUE(process_exists(pids[1]));
    EXPECT_TRUE(gateway->use_app(0, call("echo")).ok());
    std::filesystem::remove(count_file(0));
  }
}

TEST_F(GatewayTest, FailedStartIsTriedAgainWithTheSameText) {
  std::atomic<int> calls{0};
  std::vector<AppEntry> apps = {AppEntry{"gone", "Gone", "/nonexistent/gone", {}}};
  Gateway gateway(std::move(apps), {}, [&calls](const AppEntry& entry) {
    ++calls;
    return start_app(entry);
  });
  for (int i = 0; i < 2; ++i) {
    auto tools = gateway.app_tools(0);
    ASSERT_FALSE(tools.ok());
    EXPECT_EQ(tools.error(),
              "could not start Gone (/nonexistent/gone): No such file or directory (os error 2)");
  }
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(gateway.look_at_slot(0).started);
}

TEST_F(GatewayTest, AgentsOffStopsTheAppAndRefuses) {
  auto gateway = make_gateway({{}});
  ASSERT_TRUE(gateway->app_tools(0).ok());
  agents_on = false;
  Result<JsonValue> refused = gateway->use_app(0, call("echo"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), AGENTS_OFF_MESSAGE);
  EXPECT_FALSE(process_exists(starts().at(0)));
  SlotSnapshot seen = gateway->look_at_slot(0);
  EXPECT_FALSE(seen.started);
  EXPECT_FALSE(seen.tool_count);
}

TEST_F(GatewayTest, StopAllAppsStopsIdleAppsAtOnce) {
  auto gateway = make_gateway({{}, {}});
  ASSERT_TRUE(gateway->app_tools(0).ok());
  ASSERT_TRUE(gateway->app_tools(1).ok());
  gateway->stop_all_apps();
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_FALSE(process_exists(starts(i).at(0)));
    EXPECT_FALSE(testing::GatewayPeer::slot(*gateway, i).stop_pending);
  }
}

TEST_F(GatewayTest, StopOfABusyAppWaitsForTheCallAndFollowsTheSwitch) {
  for (bool back_on : {false, true}) {
    SCOPED_TRACE(back_on ? "agents turned back on" : "agents stay off");
    std::filesystem::remove(count_file(0));
    agents_on = true;
    auto gateway = make_gateway({{}});
    Signal in_call, finish_call;
    Result<JsonValue> result = fail("not run");
    std::thread caller([&] {
      result = gateway->use_app(0, [&](AppConnection& c, const auto&) {
        in_call.set();
        EXPECT_TRUE(finish_call.wait());
        Result<JsonValue> r = call_tool(c, "echo", JsonObject{{"x", 1}}, 10s);
        if (back_on)
          agents_on = true;
        return r;
      });
    });
    ASSERT_TRUE(in_call.wait());
    agents_on = false;
    gateway->stop_all_apps();  // returns while the call holds the app
    EXPECT_TRUE(testing::GatewayPeer::slot(*gateway, 0).stop_pending);
    pid_t pid = starts().at(0);
    EXPECT_TRUE(process_exists(pid));
    finish_call.set();
    caller.join();
    ASSERT_TRUE(result.ok()) << result.error();  // the result is returned all the same
    EXPECT_EQ(render_compact(*result->find("structuredContent")), R"({"x":1})");
    EXPECT_FALSE(testing::GatewayPeer::slot(*gateway, 0).stop_pending);
    EXPECT_EQ(process_exists(pid), back_on);
    EXPECT_EQ(gateway->look_at_slot(0).started, back_on);
  }
}

TEST_F(GatewayTest, DestructionStopsEveryServer) {
  auto gateway = make_gateway({{}, {}, {}});
  ASSERT_TRUE(gateway->app_tools(0).ok());
  ASSERT_TRUE(gateway->app_tools(2).ok());
  std::vector<pid_t> pids = {starts(0).at(0), starts(2).at(0)};
  gateway.reset();
  for (pid_t pid : pids)
    EXPECT_FALSE(process_exists(pid));
  EXPECT_TRUE(starts(1).empty());
}

}  // namespace
}  // namespace brask
