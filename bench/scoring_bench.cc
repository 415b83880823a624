// Scoring and ranking a whole search: 64 apps of 200 tools each against a three-word
// query, as one search of all apps does after gathering the catalogues.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/search/scoring.h"
#include "json/json.h"

namespace brask {
namespace {

constexpr int APPS = 64;
constexpr int TOOLS_PER_APP = 200;

const char* const VERBS[] = {"create", "export", "apply",  "remove",  "rotate",
                             "resize", "insert", "select", "convert", "merge"};
const char* const NOUNS[] = {"layer", "shape", "page",     "slide", "cell",
                             "track", "image", "document", "table", "filter"};

std::vector<std::vector<JsonValue>> make_catalogues() {
  std::vector<std::vector<JsonValue>> apps(APPS);
  for (int a = 0; a < APPS; ++a) {
    for (int t = 0; t < TOOLS_PER_APP; ++t) {
      std::string verb = VERBS[(a + t) % 10];
      std::string noun = NOUNS[(t / 10) % 10];
      std::string name = verb + "_" + noun + "_" + std::to_string(t);
      std::string title = "Tool " + std::to_string(t) + ": " + verb + " a " + noun;
      std::string description = "Applies the " + verb + " operation to the current " + noun +
                                " of the open document, keeping its history so that it can be "
                                "undone.\nArguments are described in the input schema.";
      apps[a].push_back(JsonValue(JsonObject{{"name", JsonValue(name)},
                                             {"title", JsonValue(title)},
                                             {"description", JsonValue(description)}}));
    }
  }
  return apps;
}

std::vector<ToolHit> search(const std::vector<std::vector<JsonValue>>& apps,
                            std::string_view query) {
  std::vector<std::string> words = query_words(query);
  std::vector<ToolHit> hits;
  for (size_t a = 0; a < apps.size(); ++a) {
    for (const JsonValue& tool : apps[a]) {
      uint32_t score = score_tool(words, tool);
      if (score == 0)
        continue;
      hits.push_back(ToolHit{"app" + std::to_string(a),
                             std::string(*tool.find("name")->as_string()), one_line_summary(tool),
                             score});
    }
  }
  return rank_hits(std::move(hits), 20);
}

void BM_SearchAllApps(benchmark::State& state) {
  auto apps = make_catalogues();
  const char* query = "Export layer PDF";
  std::vector<ToolHit> ranked;
  for (auto _ : state) {
    ranked = search(apps, query);
    benchmark::DoNotOptimize(ranked);
  }
  state.counters["tools"] = APPS * TOOLS_PER_APP;
  if (ranked.size() != 20 || ranked.front().tool.rfind("export_layer_", 0) != 0) {
    std::fprintf(stderr, "unexpected ranking: %zu hits\n", ranked.size());
    std::abort();
  }
}
BENCHMARK(BM_SearchAllApps)->Unit(benchmark::kMicrosecond);

void BM_ScoreOneTool(benchmark::State& state) {
  auto apps = make_catalogues();
  std::vector<std::string> words = query_words("Export layer PDF");
  const JsonValue& tool = apps[0][5];
  for (auto _ : state)
    benchmark::DoNotOptimize(score_tool(words, tool));
}
BENCHMARK(BM_ScoreOneTool);

}  // namespace
}  // namespace brask

BENCHMARK_MAIN();
