#include "apps/tool_calls.h"

#include <chrono>
#include <memory>
#include <utility>

#include "apps/child/tools.h"
#include "text/text.h"

namespace brask {

Result<size_t> find_app(const std::vector<AppEntry>& apps, std::string_view reference) {
  const std::string wanted = to_lower(trim_white_space(reference));
  if (apps.empty()) {
    return fail("no Brask app is available to agents (asked for `" + std::string(reference) +
                "`); turn agents on in the Velmora Launcher");
  }
  for (size_t i = 0; i < apps.size(); ++i) {
    if (apps[i].id == wanted)
      return i;
  }
  std::string ids;
  for (const AppEntry& entry : apps) {
    if (!ids.empty())
      ids += ", ";
    ids += entry.id;
  }
  return fail("no app `" + std::string(reference) + "`; available: " + ids);
}

JsonView<std::string_view> tool_name(const AppTool& tool) {
  const JsonValue* name = tool.find("name");
  return name ? name->as_string() : nullptr;
}

const JsonValue* find_listed_tool(const ToolCatalogue& catalogue, std::string_view tool) {
  for (const JsonValue& entry : catalogue) {
    auto name = tool_name(entry);
    if (name && *name == tool)
      return &entry;
  }
  return nullptr;
}

std::string no_tool_message(std::string_view app, std::string_view tool) {
  return std::string(app) + " has no tool `" + std::string(tool) +
         "`; use brask_find_tools to look for one";
}

namespace {

struct ListedTool {
  size_t app;  // registry position
  std::shared_ptr<const ToolCatalogue> catalogue;
  const JsonValue* entry;  // in `catalogue`
};

// The app named by `app` and its entry for `tool`, starting the app and listing its
// tools when no catalogue is held. Failures: those of find_app and app_tools,
// no_tool_message.
Result<ListedTool> find_app_tool(Gateway& gateway, std::string_view app, std::string_view tool) {
  Result<size_t> index = find_app(gateway.apps(), app);
  if (!index.ok())
    return index.failure();
  Result<std::shared_ptr<const ToolCatalogue>> catalogue = gateway.app_tools(*index);
  if (!catalogue.ok())
    return catalogue.failure();
  const JsonValue* entry = find_listed_tool(**catalogue, tool);
  if (!entry)
    return fail(no_tool_message(app, tool));
  return ListedTool{*index, std::move(catalogue).take(), entry};
}

}  // namespace

Result<JsonValue> describe_tool(Gateway& gateway, std::string_view app, std::string_view tool) {
  Result<ListedTool> listed = find_app_tool(gateway, app, tool);
  if (!listed.ok())
    return listed.failure();
  return *listed->entry;
}

Result<JsonValue> run_app_tool(Gateway& gateway, std::string_view app, std::string_view tool,
                               JsonValue arguments, uint64_t timeout_secs) {
  size_t index;
  {
    // Refuses an unlisted tool before waiting for the app's slot.
    Result<ListedTool> listed = find_app_tool(gateway, app, tool);
    if (!listed.ok())
      return listed.failure();
    index = listed->app;
  }
  // use_app holds the connection lock across the call, asks the agents switch before and
  // after, re-reads a changed tool list and replaces an ended server; the look-up is
  // repeated because the list it holds may be newer than the one checked above.
  const auto timeout = std::chrono::seconds(timeout_secs);
  return gateway.use_app(
      index,
      [&](AppConnection& connection,
          const std::shared_ptr<const ToolCatalogue>& catalogue) -> Result<JsonValue> {
        if (!find_listed_tool(*catalogue, tool))
          return fail(no_tool_message(app, tool));
        Result<JsonValue> result = call_tool(connection, tool, std::move(arguments), timeout);
        // Agents' clients drop a result that is not an object and wait for
        // ever; an error result reaches them.
        if (result.ok() && !result->as_object())
          return fail("`" + std::string(tool) + "` of " + std::string(app) +
                      " answered with a result that is not an object");
        return result;
      });
}

}  // namespace brask
