#include "apps/registry.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/resources.h"

namespace brask {
namespace {

namespace fs = std::filesystem;

// The agents check, which must not fail on an ordinary file system.
bool enabled(AgentsSwitch& agents) {
  Result<bool> answer = agents.enabled();
  EXPECT_TRUE(answer.ok()) << answer.error();
  return answer.ok() && *answer;
}

// Sets or unsets one environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = ::getenv(name))
      old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

using testing::TempDir;

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

const std::string VALID_FILE =
    R"({"version":1,"apps":[{"id":"lumeno","command":"/opt/lumeno/bin/server"}]})";

TEST(JoinPath, AddsOneSlash) {
  const struct {
    std::string_view path, component, want;
  } cases[] = {
      {"/home/u", ".config", "/home/u/.config"},
      {"/x/", "apps.json", "/x/apps.json"},
      {"/", "cfg", "/cfg"},
      {"cfg", "apps.json", "cfg/apps.json"},
      {"a//", "b", "a//b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(join_path(c.path, c.component), c.want);
  }
}

std::optional<std::string> user_database_home() {
  passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0')
    return {};
  return std::string(entry->pw_dir);
}

TEST(AppsFolder, FirstUsableSourceWins) {
  using Env = std::optional<std::string>;
  const std::optional<std::string> db_home = user_database_home();
  const std::optional<std::string> db_folder =
      db_home ? std::optional<std::string>(join_path(*db_home, ".config/Velmora/mcp"))
              : std::nullopt;
  const struct {
    std::string_view what;
    Env brask, xdg, home;
    std::optional<std::string> want;
  } cases[] = {
      {"BRASK_MCP_DIR unchanged", "/apps/dir", "/cfg", "/home/u", "/apps/dir"},
      {"BRASK_MCP_DIR relative", "cfg", {}, "/home/u", "cfg"},
      {"BRASK_MCP_DIR keeps its slash", "/x/", {}, {}, "/x/"},
      {"empty BRASK_MCP_DIR ignored", "", "/cfg", "/home/u", "/cfg/Velmora/mcp"},
      {"absolute XDG_CONFIG_HOME", {}, "/cfg/", "/home/u", "/cfg/Velmora/mcp"},
      {"relative XDG_CONFIG_HOME ignored",
       {},
       "relative/dir",
       "/home/u",
       "/home/u/.config/Velmora/mcp"},
      {"empty XDG_CONFIG_HOME ignored", {}, "", "/home/u/", "/home/u/.config/Velmora/mcp"},
      {"HOME need not be absolute", {}, {}, "home", "home/.config/Velmora/mcp"},
      {"no HOME: the user database", {}, {}, {}, db_folder},
      {"empty HOME: the user database", {}, {}, "", db_folder},
      // Raw bytes survive: 0xFF is not UTF-8.
      {"non-UTF-8 bytes kept", "/a\xff", {}, {}, "/a\xff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv brask("BRASK_MCP_DIR", c.brask);
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(apps_folder(), c.want);
  }
}

// Shortens a result for comparison: "absent", "failed: {message}",
// "unreadable: {message}" or "loaded: N apps".
std::string outcome(const AppsFileResult& r) {
  switch (r.kind) {
    case AppsFileResult::Kind::Absent:
      return "absent";
    case AppsFileResult::Kind::Failed:
      return "failed: " + r.message;
    case AppsFileResult::Kind::Unreadable:
      return "unreadable: " + r.message;
    case AppsFileResult::Kind::Loaded:
      return "loaded: " + std::to_string(r.registry.apps.size()) + " apps";
  }
  return "?";
}

TEST(LoadAppsFile, OutcomeFollowsWhatIsOnDisk) {
  const std::string padded_max =
      VALID_FILE + std::string(MAX_APPS_FILE_BYTES - VALID_FILE.size(), ' ');
  const struct {
    std::string_view what;
    std::function<void(const std::string& dir)> prepare;
    std::string folder;  // relative to the temporary folder
    std::string want;    // "{path}" stands for the file path
  } cases[] = {
      {"missing file", [](const std::string&) {}, "", "absent"},
      {"missing folder", [](const std::string&) {}, "no/such/dir", "absent"},
      {"valid file", [](const std::string& d) { write_file(d + "/apps.json", VALID_FILE); }, "",
       "loaded: 1 apps"},
      {"symbolic link to a file",
       [](const std::string& d) {
         write_file(d + "/real.json", VALID_FILE);
         fs::create_symlink(d + "/real.json", d + "/apps.json");
       },
       "", "loaded: 1 apps"},
      {"dangling link",
       [](const std::string& d) { fs::create_symlink(d + "/gone.json", d + "/apps.json"); }, "",
       "absent"},
      {"folder named apps.json",
       [](const std::string& d) { fs::create_directory(d + "/apps.json"); }, "",
       "failed: {path}: not a regular file"},
      {"pipe named apps.json",
       [](const std::string& d) { ASSERT_EQ(::mkfifo((d + "/apps.json").c_str(), 0600), 0); }, "",
       "failed: {path}: not a regular file"},
      {"a path component is a file", [](const std::string& d) { write_file(d + "/file", "x"); },
       "file", "failed: {path}: Not a directory (os error 20)"},
      {"exactly the size limit",
       [&](const std::string& d) { write_file(d + "/apps.json", padded_max); }, "",
       "loaded: 1 apps"},
      {"one byte over the size limit",
       [&](const std::string& d) { write_file(d + "/apps.json", padded_max + " "); }, "",
       "failed: {path}: larger than 1048576 bytes"},
      {"empty file", [](const std::string& d) { write_file(d + "/apps.json", ""); }, "",
       "failed: apps.json does not parse: EOF while parsing a value at line 1 column 0"},
      {"version mismatch",
       [](const std::string& d) { write_file(d + "/apps.json", R"({"version":2})"); }, "",
       "failed: apps.json has version 2, this reads version 1"},
      {"no apps still loads",
       [](const std::string& d) { write_file(d + "/apps.json", R"({"version":1})"); }, "",
       "loaded: 0 apps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.prepare(dir.path());
    const std::string folder = c.folder.empty() ? dir.path() : dir.path() + "/" + c.folder;
    std::string want = c.want;
    if (auto at = want.find("{path}"); at != std::string::npos) {
      want.replace(at, 6, folder + "/apps.json");
    }
    EXPECT_EQ(outcome(load_apps_file(folder)), want);
  }
}

TEST(LoadAppsFile, UnreadableFileFailsAtReading) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "running as root: permissions do not stop reads";
  TempDir dir;
  const std::string path = dir.path() + "/apps.json";
  write_file(path, VALID_FILE);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(outcome(load_apps_file(dir.path())),
            "failed: " + path + ": Permission denied (os error 13)");
}

// Files under /proc report a size of 0 but have content: the read must not trust the
// metadata, neither to stop early nor to stay under the size limit.
TEST(LoadAppsFile, ReadsPastWhatTheMetadataSaysUpToTheLimit) {
  const struct {
    std::string_view what, target, want;
  } cases[] = {
      {"small file reported as empty", "/proc/self/status",
       "failed: apps.json does not parse: expected value at line 1 column 1"},
      {"file over the limit reported as empty", "/proc/kallsyms",
       "failed: {path}: larger than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code err;
    if (fs::file_size(c.target, err) != 0 || err ||
        ::access(std::string(c.target).c_str(), R_OK) != 0) {
      GTEST_SKIP() << std::string(c.target) << " is not a readable file reported as empty here";
    }
    TempDir dir;
    fs::create_symlink(c.target, dir.path() + "/apps.json");
    std::string want(c.want);
    if (auto at = want.find("{path}"); at != std::string::npos) {
      want.replace(at, 6, dir.path() + "/apps.json");
    }
    EXPECT_EQ(outcome(load_apps_file(dir.path())), want);
  }
}

TEST(LoadAppsFile, PathShownWithReplacementCharacters) {
  TempDir dir;
  const std::string folder = dir.path() + "/bad\xff\xfe";
  fs::create_directory(folder);
  fs::create_directory(folder + "/apps.json");
  EXPECT_EQ(outcome(load_apps_file(folder)),
            "failed: " + dir.path() + "/bad\ufffd\ufffd/apps.json: not a regular file");
}

TEST(LoadRegistry, OneWarningExplainsAnEmptyRegistry) {
  TempDir dir;
  ScopedEnv brask("BRASK_MCP_DIR", dir.path());
  const std::string path = dir.path() + "/apps.json";

  AppRegistry missing = load_registry();
  EXPECT_TRUE(missing.apps.empty());
  EXPECT_EQ(missing.warnings, std::vector<std::string>{std::string(AGENTS_OFF_MESSAGE)});

  write_file(path, "{");
  AppRegistry broken = load_registry();
  EXPECT_TRUE(broken.apps.empty());
  EXPECT_EQ(broken.warnings, std::vector<std::string>{
                                 "apps.json does not parse: EOF while parsing an object at line 1 "
                                 "column 1"});

  write_file(path, R"({"version":1,"apps":[{"id":"Bad","command":"/x"},)"
                   R"({"id":"lumeno","command":"/bin/lumeno","args":[]}]})");
  AppRegistry loaded = load_registry();
  ASSERT_EQ(loaded.apps.size(), 1u);
  EXPECT_EQ(loaded.apps[0].name, "Lumeno");
  EXPECT_EQ(loaded.warnings, std::vector<std::string>{"`Bad`: not a valid app id"});
}

TEST(LoadRegistry, NoConfigurationFolder) {
  if (user_database_home())
    GTEST_SKIP() << "this user has a home folder in the user database";
  ScopedEnv brask("BRASK_MCP_DIR", std::nullopt);
  ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv home("HOME", std::nullopt);
  AgentsSwitch agents;
  AppRegistry registry = load_registry();
  EXPECT_TRUE(registry.apps.empty());
  EXPECT_EQ(registry.warnings, std::vector<std::string>{"no per-user configuration folder"});
  EXPECT_FALSE(enabled(agents));
}

TEST(AgentsEnabled, FollowsTheFileWithoutARestart) {
  TempDir dir;
  ScopedEnv brask("BRASK_MCP_DIR", dir.path());
  const std::string path = dir.path() + "/apps.json";
  AgentsSwitch agents;
  EXPECT_FALSE(enabled(agents));
  write_file(path, VALID_FILE);
  EXPECT_TRUE(enabled(agents));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(enabled(agents));
  write_file(path, R"({"version":1,"apps":[{"id":"Bad","command":"x"}]})");
  EXPECT_TRUE(enabled(agents)) << "a file whose every entry is refused still turns agents on";
  write_file(path, R"({"version":1,"apps":[)");
  EXPECT_FALSE(enabled(agents));
  write_file(path, VALID_FILE);
  EXPECT_TRUE(enabled(agents));
  // A file that loaded before is not parsed again, unless a byte differs, size unchanged.
  std::string broken = VALID_FILE;
  broken.back() = ' ';
  write_file(path, broken);
  EXPECT_FALSE(enabled(agents));
  write_file(path, VALID_FILE);
  EXPECT_TRUE(enabled(agents));
}

TEST(AgentsEnabled, ReadsTheEnvironmentAfresh) {
  TempDir on, off;
  AgentsSwitch agents;
  write_file(on.path() + "/apps.json", VALID_FILE);
  {
    ScopedEnv brask("BRASK_MCP_DIR", on.path());
    EXPECT_TRUE(enabled(agents));
  }
  {
    ScopedEnv brask("BRASK_MCP_DIR", off.path());
    EXPECT_FALSE(enabled(agents));
  }
  ScopedEnv brask("BRASK_MCP_DIR", std::nullopt);
  ScopedEnv xdg("XDG_CONFIG_HOME", on.path());
  fs::create_directories(on.path() + "/Velmora/mcp");
  write_file(on.path() + "/Velmora/mcp/apps.json", VALID_FILE);
  EXPECT_TRUE(enabled(agents));
}

}  // namespace
}  // namespace brask
