// The gateway's start-up with every kind of apps file: the warnings on standard error,
// and serving that goes on whatever the file holds.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/paths.h"
#include "support/process.h"
#include "support/resources.h"

namespace brask {
namespace {

namespace fs = std::filesystem;
using testing::ProcessOptions;
using testing::program_path;
using testing::run_program;

const std::string AGENTS_OFF =
    "AI agents are turned off for the Brask apps. Turn on Velmora Launcher \u203a Settings "
    "\u203a AI agents \u203a Let AI agents use Brask apps, then try again.";

const std::string PING = R"({"jsonrpc":"2.0","id":7,"method":"ping"})"
                         "\n";
const std::string PONG = R"({"id":7,"jsonrpc":"2.0","result":{}})"
                         "\n";

using testing::TempDir;

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// Runs the gateway with the apps folder `dir` (through BRASK_MCP_DIR), answers one ping
// and returns standard error after checking that it served and ended normally.
std::string start_up_warnings(const std::string& dir) {
  ProcessOptions options;
  options.args = {"--stdio"};
  options.set_env = {{"BRASK_MCP_DIR", dir}};
  auto outcome = run_program(program_path("brask-ai-mcp"), options, PING);
  EXPECT_EQ(outcome.stdout_text, PONG);
  EXPECT_TRUE(outcome.status.exited && outcome.status.code == 0) << outcome.status.describe();
  return outcome.stderr_text;
}

TEST(RegistryStartup, WritesEachWarningAndStillServes) {
  const std::string valid_entry = R"({"id":"lumeno","command":"/opt/lumeno/server"})";
  const std::string small_file = R"({"version":1,"apps":[)" + valid_entry + "]}";
  const std::string max_file = small_file + std::string(1048576 - small_file.size(), '\n');
  std::string many_args = "\"a\"";
  for (int i = 1; i < 33; ++i)
    many_args += ",\"a\"";
  const struct {
    std::string what;
    std::function<void(const std::string& dir)> prepare;
    std::string want;  // "{path}" stands for the apps file's path
  } cases[] = {
      {"missing file", [](const std::string&) {}, "brask-ai-mcp: " + AGENTS_OFF + "\n"},
      {"folder named apps.json",
       [](const std::string& d) { fs::create_directory(d + "/apps.json"); },
       "brask-ai-mcp: {path}: not a regular file\n"},
      {"file of 1048576 bytes",
       [&](const std::string& d) { write_file(d + "/apps.json", max_file); }, ""},
      {"file of 1048577 bytes",
       [&](const std::string& d) { write_file(d + "/apps.json", max_file + "\n"); },
       "brask-ai-mcp: {path}: larger than 1048576 bytes\n"},
      {"broken file",
       [](const std::string& d) { write_file(d + "/apps.json", "{\"version\":1,\n\"apps\":[}"); },
       "brask-ai-mcp: apps.json does not parse: expected value at line 2 column 9\n"},
      {"other version",
       [](const std::string& d) { write_file(d + "/apps.json", R"({"version":3})"); },
       "brask-ai-mcp: apps.json has version 3, this reads version 1\n"},
      {"dangling link",
       [](const std::string& d) { fs::create_symlink(d + "/nowhere.json", d + "/apps.json"); },
       "brask-ai-mcp: " + AGENTS_OFF + "\n"},
      {"valid and invalid entries",
       [&](const std::string& d) {
         write_file(d + "/apps.json", R"({"version":1,"apps":[)" + valid_entry +
                                          R"(,{"id":"Bad\nId","command":"/x"},)" + valid_entry +
                                          R"(,{"id":"rel","command":"bin/x"},)"
                                          R"({"id":"many","command":"/x","args":[)" +
                                          many_args + "]}]}");
       },
       "brask-ai-mcp: `Bad\\nId`: not a valid app id\n"
       "brask-ai-mcp: `lumeno`: listed twice\n"
       "brask-ai-mcp: `rel`: command is not an absolute path\n"
       "brask-ai-mcp: `many`: more than 32 arguments\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.prepare(dir.path());
    std::string want = c.want;
    if (auto at = want.find("{path}"); at != std::string::npos) {
      want.replace(at, 6, dir.path() + "/apps.json");
    }
    EXPECT_EQ(start_up_warnings(dir.path()), want);
  }
}

TEST(RegistryStartup, FindsTheFolderThroughHomeAndXdgConfigHome) {
  TempDir home, xdg;
  fs::create_directories(xdg.path() + "/Velmora/mcp");
  write_file(xdg.path() + "/Velmora/mcp/apps.json", R"({"version":1,"apps":[{"id":"a"}]})");
  const struct {
    std::string what;
    std::vector<std::pair<std::string, std::string>> set_env;
    std::string want;
  } cases[] = {
      {"home without a configuration folder",
       {{"HOME", home.path()}},
       "brask-ai-mcp: " + AGENTS_OFF + "\n"},
      {"relative XDG_CONFIG_HOME is ignored",
       {{"HOME", home.path()}, {"XDG_CONFIG_HOME", "rel"}},
       "brask-ai-mcp: " + AGENTS_OFF + "\n"},
      {"XDG_CONFIG_HOME",
       {{"HOME", home.path()}, {"XDG_CONFIG_HOME", xdg.path()}},
       "brask-ai-mcp: apps.json does not parse: missing field `command` at line 1 column 31\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProcessOptions options;
    options.args = {"--stdio"};
    options.set_env = c.set_env;
    options.unset_env = {"BRASK_MCP_DIR"};
    if (c.set_env.size() == 1)
      options.unset_env.push_back("XDG_CONFIG_HOME");
    auto outcome = run_program(program_path("brask-ai-mcp"), options, PING);
    EXPECT_EQ(outcome.stdout_text, PONG);
    EXPECT_EQ(outcome.stderr_text, c.want);
  }
}

TEST(RegistryStartup, UnreadableFile) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "running as root: permissions do not stop reads";
  TempDir dir;
  const std::string path = dir.path() + "/apps.json";
  write_file(path, R"({"version":1})");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(start_up_warnings(dir.path()),
            "brask-ai-mcp: " + path + ": Permission denied (os error 13)\n");
}

}  // namespace
}  // namespace brask
