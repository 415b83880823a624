#include "apps/find_tools.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apps/search/scoring.h"
#include "apps/tool_calls.h"
#include "base/out_of_memory.h"
#include "base/thread.h"

namespace brask {
namespace {

using CatalogueOutcome = Result<std::shared_ptr<const ToolCatalogue>>;

constexpr std::string_view NO_OUTCOME_MESSAGE = "reading the app's tools failed";
constexpr std::string_view HINT_PREFIX =
    "No tool matched. These tools list or run an app's own commands; describe one and search "
    "its commands: ";

// Reads every app in `indexes` at once. Outcomes are in the order of `indexes`; a
// worker that hands nothing back leaves its place empty.
Result<std::vector<std::optional<CatalogueOutcome>>> read_catalogues(
    Gateway& gateway, const std::vector<size_t>& indexes) {
  std::vector<std::optional<CatalogueOutcome>> outcomes(indexes.size());
  std::vector<std::jthread> workers;
  workers.reserve(indexes.size());
  for (size_t i = 0; i < indexes.size(); ++i) {
    // Each worker writes only its own element, and every worker is joined before the
    // vector is read.
    std::optional<CatalogueOutcome>* outcome = &outcomes[i];
    const size_t index = indexes[i];
    // A worker that runs out of memory hands nothing back, instead of ending the process.
    Result<std::jthread> worker = start_thread([&gateway, outcome, index] {
      (void)runs_out_of_memory([&] { outcome->emplace(gateway.app_tools(index)); });
    });
    if (!worker.ok())  // `workers` joins the started ones
      return fail("could not start a search thread: " + worker.error());
    workers.push_back(std::move(worker).take());
  }
  for (std::jthread& worker : workers)
    worker.join();
  return outcomes;
}

}  // namespace

Result<JsonValue> find_tools(Gateway& gateway, std::string_view query,
                             std::optional<std::string_view> app, uint64_t limit) {
  std::vector<size_t> indexes;
  if (app) {
    Result<size_t> index = find_app(gateway.apps(), *app);
    if (!index.ok())
      return index.failure();
    indexes.push_back(*index);
  } else {
    for (size_t i = 0; i < gateway.apps().size(); ++i) {
      indexes.push_back(i);
    }
  }

  Result<std::vector<std::optional<CatalogueOutcome>>> outcomes = read_catalogues(gateway, indexes);
  if (!outcomes.ok())
    return outcomes.failure();

  // Registry position and catalogue of every app that could be read, in registry order.
  std::vector<std::pair<size_t, std::shared_ptr<const ToolCatalogue>>> read;
  JsonArray unavailable;
  for (size_t i = 0; i < indexes.size(); ++i) {
    std::optional<CatalogueOutcome>& outcome = (*outcomes)[i];
    if (outcome && outcome->ok()) {
      read.emplace_back(indexes[i], std::move(*outcome).take());
      continue;
    }
    std::string message = outcome ? outcome->error() : std::string(NO_OUTCOME_MESSAGE);
    if (app)
      return fail(std::move(message));
    unavailable.push_back(
        JsonObject{{"app", gateway.apps()[indexes[i]].id}, {"error", std::move(message)}});
  }

  const std::vector<std::string> words = query_words(query);
  std::vector<ToolHit> hits;
  for (const auto& [index, catalogue] : read) {
    for (const AppTool& tool : *catalogue) {
      auto name = tool_name(tool);
      if (!name)
        continue;
      const uint32_t score = score_tool(words, tool);
      if (score == 0)
        continue;
      hits.push_back(
          ToolHit{gateway.apps()[index].id, std::string(*name), one_line_summary(tool), score});
    }
  }
  hits = rank_hits(std::move(hits), limit);

  JsonArray tools;
  tools.reserve(hits.size());
  for (ToolHit& hit : hits) {
    tools.push_back(JsonObject{{"app", std::move(hit.app)},
                               {"summary", std::move(hit.summary)},
                               {"tool", std::move(hit.tool)}});
  }
  JsonObject result;
  if (tools.empty()) {
    std::string list;
    size_t listed = 0;
    for (size_t r = 0; r < read.size() && listed < MAX_HINT_TOOLS; ++r) {
      const auto& [index, catalogue] = read[r];
      for (size_t t = 0; t < catalogue->size() && listed < MAX_HINT_TOOLS; ++t) {
        auto name = tool_name((*catalogue)[t]);
        if (!name || name->find("command") == std::string::npos)
          continue;
        if (listed++ > 0)
          list += ", ";
        list.append(gateway.apps()[index].id).append("/").append(*name);
      }
    }
    if (listed > 0)
      result.set("hint", std::string(HINT_PREFIX) + list);
  }
  result.set("tools", std::move(tools));
  if (!unavailable.empty())
    result.set("unavailable", std::move(unavailable));
  return JsonValue(std::move(result));
}

}  // namespace brask
