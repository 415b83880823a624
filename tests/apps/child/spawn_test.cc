#include "apps/child/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "apps/child/tools.h"
#include "json/render.h"
#include "support/paths.h"
#include "support/resources.h"

namespace brask {
namespace {

using namespace std::chrono_literals;
using testing::fake_app_entry;

class SpawnTest : public testing::NoLeaksTest {
 protected:
  // The structured result of a fake-app tool.
  JsonValue call(AppConnection& c, const char* tool, JsonValue arguments = JsonObject()) {
    Result<JsonValue> r = call_tool(c, tool, std::move(arguments), 10s);
    EXPECT_TRUE(r.ok()) << r.error();
    const JsonValue* structured = r.ok() ? r->find("structuredContent") : nullptr;
    return structured ? *structured : JsonValue();
  }

  testing::TempDir temp_;
  const std::string dir_ = temp_.path();
  const std::string count_file = dir_ + "/starts";
};

TEST_F(SpawnTest, FailuresToStartName) {
  std::string not_executable = dir_ + "/plain";
  std::ofstream(not_executable) << "#!/bin/sh\n";
  ::chmod(not_executable.c_str(), 0644);
  const std::string fake = testing::program_path("fake-app");
  const struct {
    const char* name;
    AppEntry entry;
    std::chrono::nanoseconds timeout;
    std::string want;
  } cases[] = {
      {"missing program", AppEntry{"m", "Missing", "/nonexistent/app", {}}, 10s,
       "could not start Missing (/nonexistent/app): No such file or directory (os error 2)"},
      {"not executable", AppEntry{"p", "Plain", not_executable, {}}, 10s,
       "could not start Plain (" + not_executable + "): Permission denied (os error 13)"},
      {"nul byte in an argument", AppEntry{"n", "Nul", fake, {"a", std::string("b\0c", 3)}}, 10s,
       "could not start Nul (" + fake + "): nul byte found in provided data"},
      {"nul byte in the command", AppEntry{"n", "Nul", fake + std::string(1, '\0'), {}}, 10s,
       "could not start Nul (" + fake + std::string(1, '\0') +
           "): nul byte found in provided data"},
      {"never answers initialize", fake_app_entry({"--no-initialize"}), 1s,
       "Fake did not start its MCP server: the app did not answer `initialize` within 1s"},
      {"initialize error with a message",
       fake_app_entry({"--init-error", R"({"code":-32603,"message":"not today"})"}), 10s,
       "Fake did not start its MCP server: not today"},
      {"initialize error without a message", fake_app_entry({"--init-error", R"({"code":1})"}), 10s,
       "Fake did not start its MCP server: the app returned an error"},
      {"initialize error that is null", fake_app_entry({"--init-error", "null"}), 10s,
       "Fake did not start its MCP server: the app returned an error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Result<AppConnection> started = start_app(c.entry, c.timeout);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error(), c.want);
    EXPECT_FALSE(testing::has_children());
  }
}

TEST_F(SpawnTest, AppThatExitsAtOnceClosedItsConnection) {
  AppEntry entry = fake_app_entry({"--exit-at-once", "--count-file", count_file});
  Result<AppConnection> started = start_app(entry);
  ASSERT_FALSE(started.ok());
  // The writer may find the pipe gone before the reader sees the end of output.
  EXPECT_TRUE(started.error() ==
                  "Fake did not start its MCP server: the app closed its MCP "
                  "connection" ||
              started.error() ==
                  "Fake did not start its MCP server: writing to the app "
                  "failed: Broken pipe (os error 32)")
      << started.error();
  EXPECT_EQ(testing::read_count_file(count_file).size(), 1u);
}

TEST_F(SpawnTest, ChildSeesArgvEnvironmentAndWorkingDirectory) {
  ASSERT_EQ(::setenv("BRASK_SPAWN_TEST", "value with spaces", 1), 0);
  Result<AppConnection> started = start_app(fake_app_entry({"--tools", "2", "mcp"}));
  ASSERT_TRUE(started.ok()) << started.error();
  JsonValue info = call(*started, "info", JsonObject{{"env", "BRASK_SPAWN_TEST"}});
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  JsonValue want =
      JsonObject{{"argv", JsonArray{testing::program_path("fake-app"), "--tools", "2", "mcp"}},
                 {"cwd", cwd},
                 {"env", "value with spaces"}};
  EXPECT_EQ(render_compact(info), render_compact(want));
  ::unsetenv("BRASK_SPAWN_TEST");
}

TEST_F(SpawnTest, ChildHoldsOnlyItsStandardDescriptors) {
  // A descriptor opened without close-on-exec, and a first app's pipes, must not
  // reach a second app.
  UniqueFd stray(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(stray.valid());
  Result<AppConnection> first = start_app(fake_app_entry({}));
  ASSERT_TRUE(first.ok()) << first.error();
  Result<AppConnection> second = start_app(fake_app_entry({}));
  ASSERT_TRUE(second.ok()) << second.error();
  for (AppConnection* c : {&*first, &*second}) {
    EXPECT_EQ(render_compact(call(*c, "fds")), R"({"fds":[0,1,2]})");
    pid_t pid = c->child->pid();
    EXPECT_EQ(testing::process_fds(pid), (std::vector<int>{0, 1, 2}));
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/2", ec),
              "/dev/null");
  }
}

TEST_F(SpawnTest, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
  Result<AppConnection> started = start_app(fake_app_entry({"--stderr"}));
  ASSERT_TRUE(started.ok()) << started.error();
  std::ifstream status("/proc/" + std::to_string(started->child->pid()) + "/status");
  std::string line;
  uint64_t blocked = ~0ull, ignored = ~0ull;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0)
      blocked = std::stoull(line.substr(7), nullptr, 16);
    if (line.rfind("SigIgn:", 0) == 0)
      ignored = std::stoull(line.substr(7), nullptr, 16);
  }
  EXPECT_EQ(blocked, 0u);
  // The test process ignores SIGPIPE, as the gateway does; the app must not.
  for (int sig : {SIGHUP, SIGINT, SIGPIPE, SIGTERM}) {
    SCOPED_TRACE(sig);
    EXPECT_EQ(ignored & (1ull << (sig - 1)), 0u);
  }
}

TEST_F(SpawnTest, DisposalKillsAndReaps) {
  pid_t pid = 0;
  {
    Result<AppConnection> started = start_app(fake_app_entry({"--count-file", count_file}));
    ASSERT_TRUE(started.ok()) << started.error();
    pid = started->child->pid();
    EXPECT_EQ(testing::read_count_file(count_file), std::vector<pid_t>{pid});
    EXPECT_TRUE(testing::process_exists(pid));
  }
  EXPECT_FALSE(testing::process_exists(pid));
}

TEST_F(SpawnTest, FailedHandshakeLeavesNoProcess) {
  // A refused initialize fails the handshake only once the app runs and has written its
  // pid, however slowly it starts; the process is then alive and must be killed.
  Result<AppConnection> started = start_app(
      fake_app_entry({"--init-error", R"({"code":1,"message":"no"})", "--count-file", count_file}));
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error(), "Fake did not start its MCP server: no");
  std::vector<pid_t> pids = testing::read_count_file(count_file);
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_FALSE(testing::process_exists(pids[0]));
}

}  // namespace
}  // namespace brask
