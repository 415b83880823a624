#include "apps/find_tools.h"

#include <cstdint>
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

// Reads every app in `indexes`: a held catalogue on this thread, the others at once, one
// worker each. Outcomes are in the order of `indexes`; a worker that hands nothing back
// leaves its place empty.
Result<std::vector<std::optional<CatalogueOutcome>>> read_catalogues(
    Gateway& gateway, const std::vector<size_t>& indexes) {
  std::vector<std::optional<CatalogueOutcome>> outcomes(indexes.size());
  // Workers only for apps that must list their tools: starting a thread costs more than
  // scoring a whole catalogue.
  std::vector<size_t> to_list;
  for (size_t i = 0; i < indexes.size(); ++i) {
    if (std::shared_ptr<const ToolCatalogue> held = gateway.held_tools(indexes[i])) {
      outcomes[i].emplace(std::move(held));
    } else {
      to_list.push_back(i);
    }
  }
  std::vector<std::jthread> workers;
  workers.reserve(to_list.size());
  for (const size_t i : to_list) {
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

  // Hits as their scores and places (in `read`, in the catalogue): names and summaries
  // are made only for the few that are kept.
  const std::vector<std::string> words = query_words(query);
  std::vector<uint32_t> scores;
  std::vector<std::pair<size_t, size_t>> places;
  for (size_t r = 0; r < read.size(); ++r) {
    const ToolCatalogue& catalogue = *read[r].second;
    const std::vector<uint32_t> tool_scores = catalogue.search_texts().score_all(words);
    for (size_t t = 0; t < tool_scores.size(); ++t) {
      if (tool_scores[t] == 0 || !tool_name(catalogue[t]))
        continue;
      scores.push_back(tool_scores[t]);
      places.emplace_back(r, t);
    }
  }

  JsonArray tools;
  for (const size_t hit : rank_scores(scores, limit)) {
    const auto& [index, catalogue] = read[places[hit].first];
    const AppTool& tool = (*catalogue)[places[hit].second];
    tools.push_back(JsonObject{{"app", gateway.apps()[index].id},
                               {"summary", one_line_summary(tool)},
                               {"tool", std::string(*tool_name(tool))}});
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
