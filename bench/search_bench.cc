// A whole search of all apps through `find_tools`: 64 apps with cached catalogues and a
// three-word query, for a range of catalogue sizes; then the same with some apps slow to
// list their tools (bin/fake-app waiting before each tools/list answer), whose listings
// run in parallel.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apps/find_tools.h"
#include "apps/gateway.h"
#include "base/mutex.h"
#include "json/json.h"
#include "support/slots.h"

namespace brask {
namespace {

constexpr int APPS = 64;
constexpr const char* QUERY = "export layer pdf";
constexpr int SLOW_LIST_MS = 100;

const char* const VERBS[] = {"create", "export", "apply",  "remove",  "rotate",
                             "resize", "insert", "select", "convert", "merge"};
const char* const NOUNS[] = {"layer", "shape", "page",     "slide", "cell",
                             "track", "image", "document", "table", "filter"};

std::vector<JsonValue> make_catalogue(int app, int tools) {
  std::vector<JsonValue> catalogue;
  for (int t = 0; t < tools; ++t) {
    std::string verb = VERBS[(app + t) % 10];
    std::string noun = NOUNS[(t / 10) % 10];
    catalogue.push_back(JsonObject{
        {"description", "Applies the " + verb + " operation to the current " + noun +
                            " of the open document, keeping its history so that it can be "
                            "undone.\nArguments are described in the input schema."},
        {"inputSchema", JsonObject{{"type", "object"}}},
        {"name", verb + "_" + noun + "_" + std::to_string(t)},
        {"title", "Tool " + std::to_string(t) + ": " + verb + " a " + noun}});
  }
  return catalogue;
}

void hold_catalogue(AppSlot& slot, std::vector<JsonValue> tools) {
  MutexLock lock(slot.catalogue_mutex);
  slot.catalogue = std::make_shared<const ToolCatalogue>(std::move(tools));
}

void drop_catalogue(AppSlot& slot) {
  std::shared_ptr<const ToolCatalogue> dropped;
  MutexLock lock(slot.catalogue_mutex);
  dropped = std::move(slot.catalogue);
}

// `slow` of the apps run bin/fake-app, slow to list; the others hold generated catalogues.
std::unique_ptr<Gateway> make_gateway(int tools, int slow) {
  std::vector<AppEntry> apps;
  for (int a = 0; a < APPS; ++a) {
    AppEntry entry{"app" + std::to_string(a), "App", "/nonexistent", {}};
    if (a < slow) {
      entry.command = std::string(BRASK_BIN_DIR) + "/fake-app";
      entry.args = {"--tools", std::to_string(tools), "--list-delay-ms",
                    std::to_string(SLOW_LIST_MS)};
    }
    apps.push_back(std::move(entry));
  }
  auto gateway = std::make_unique<Gateway>(std::move(apps), std::vector<std::string>{});
  for (int a = slow; a < APPS; ++a)
    hold_catalogue(brask::testing::GatewayPeer::slot(*gateway, a), make_catalogue(a, tools));
  return gateway;
}

void check(const Result<JsonValue>& result, benchmark::State& state) {
  const JsonValue* tools = result.ok() ? result->find("tools") : nullptr;
  if (!tools || !tools->as_array() || tools->as_array()->size() != 20 ||
      result->find("unavailable")) {
    state.SkipWithError("the search did not give 20 hits from every app");
  }
}

void BM_CachedSearch(benchmark::State& state) {
  const int tools = static_cast<int>(state.range(0));
  std::unique_ptr<Gateway> gateway = make_gateway(tools, 0);
  for (auto _ : state) {
    Result<JsonValue> result = find_tools(*gateway, QUERY, std::nullopt, 20);
    benchmark::DoNotOptimize(result);
  }
  check(find_tools(*gateway, QUERY, std::nullopt, 20), state);
  state.counters["tools"] = APPS * tools;
  state.counters["tools/s"] = benchmark::Counter(
      static_cast<double>(APPS) * tools * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CachedSearch)
    ->Arg(1)
    ->Arg(50)
    ->Arg(100)
    ->Arg(200)
    ->Arg(400)
    ->Unit(benchmark::kMicrosecond);

// Each iteration drops the slow apps' catalogues, so the search lists them again over
// their running servers, each listing taking SLOW_LIST_MS.
void BM_SearchWithSlowApps(benchmark::State& state) {
  const int slow = static_cast<int>(state.range(0));
  std::unique_ptr<Gateway> gateway = make_gateway(200, slow);
  check(find_tools(*gateway, QUERY, std::nullopt, 20), state);  // starts the servers
  for (auto _ : state) {
    state.PauseTiming();
    for (int a = 0; a < slow; ++a)
      drop_catalogue(brask::testing::GatewayPeer::slot(*gateway, a));
    state.ResumeTiming();
    Result<JsonValue> result = find_tools(*gateway, QUERY, std::nullopt, 20);
    benchmark::DoNotOptimize(result);
  }
  state.counters["slow_apps"] = slow;
}
BENCHMARK(BM_SearchWithSlowApps)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brask

BENCHMARK_MAIN();
