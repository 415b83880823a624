// The agents switch, which runs before every gateway tool call: find the folder, read
// apps.json and validate it afresh. A typical file: a dozen apps, about 2 KB.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "apps/apps_file.h"
#include "apps/registry.h"

namespace brask {
namespace {

std::string typical_apps_file() {
  std::string text = "{\n  \"version\": 1,\n  \"apps\": [\n";
  for (size_t i = 0; i < 12; ++i) {
    const std::string id(KNOWN_APPS[i].id);
    if (i > 0)
      text += ",\n";
    text += "    {\n      \"id\": \"" + id + "\",\n      \"name\": \"" +
            std::string(KNOWN_APPS[i].name) + "\",\n      \"command\": \"/opt/brask/" + id +
            "/bin/" + id + "-mcp-server\",\n      \"args\": [\"mcp\", \"--stdio\"],\n" +
            "      \"launcherVersion\": \"4.2.1\"\n    }";
  }
  return text + "\n  ]\n}\n";
}

class AppsFolder {
 public:
  AppsFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "registry-bench-XXXXXX");
    path_ = ::mkdtemp(pattern.data());
    std::ofstream(path_ + "/apps.json") << typical_apps_file();
    ::setenv("BRASK_MCP_DIR", path_.c_str(), 1);
  }
  ~AppsFolder() {
    ::unsetenv("BRASK_MCP_DIR");
    std::filesystem::remove_all(path_);
  }

 private:
  std::string path_;
};

void BM_AgentsEnabled(benchmark::State& state) {
  AppsFolder folder;
  AgentsSwitch agents;
  bool enabled = false;
  for (auto _ : state) {
    Result<bool> answer = agents.enabled();
    enabled = answer.ok() && *answer;
    benchmark::DoNotOptimize(enabled);
  }
  state.counters["file_bytes"] = static_cast<double>(typical_apps_file().size());
  if (!enabled) {
    std::fprintf(stderr, "the agents check answered false on a valid file\n");
    std::abort();
  }
}
BENCHMARK(BM_AgentsEnabled)->Unit(benchmark::kMicrosecond);

void BM_ParseAppsFile(benchmark::State& state) {
  const std::string text = typical_apps_file();
  size_t apps = 0;
  for (auto _ : state) {
    auto registry = parse_apps_file(text);
    apps = registry.ok() ? registry->apps.size() : 0;
    benchmark::DoNotOptimize(apps);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  if (apps != 12) {
    std::fprintf(stderr, "expected 12 apps, got %zu\n", apps);
    std::abort();
  }
}
BENCHMARK(BM_ParseAppsFile)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace brask

BENCHMARK_MAIN();
