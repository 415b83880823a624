#include "apps/tool_definitions.h"

#include <string>
#include <utility>

#include "apps/dispatch.h"
#include "apps/find_tools.h"
#include "apps/search/scoring.h"

namespace brask {
namespace {

JsonValue object_schema(JsonObject properties, JsonArray required) {
  JsonObject schema{{"properties", std::move(properties)}, {"type", "object"}};
  // An empty "required" list is left out rather than written as [].
  if (!required.empty())
    schema.set("required", std::move(required));
  return schema;
}

JsonValue typed(const char* type) {
  return JsonObject{{"type", type}};
}

JsonValue described(const char* type, const char* description) {
  return JsonObject{{"description", description}, {"type", type}};
}

JsonValue definition(std::string_view name, const char* description, JsonValue input_schema,
                     JsonObject annotations) {
  return JsonObject{{"annotations", std::move(annotations)},
                    {"description", description},
                    {"inputSchema", std::move(input_schema)},
                    {"name", std::string(name)}};
}

JsonObject read_only() {
  return JsonObject{{"readOnlyHint", true}};
}

}  // namespace

JsonValue gateway_tool_definitions() {
  JsonArray tools;
  tools.reserve(4);
  tools.push_back(definition(
      LIST_APPS_TOOL,
      "List the Brask apps (Lumeno, Kinetta, Scribola, ...) you can use here. Start here.",
      object_schema({}, {}), read_only()));
  tools.push_back(definition(
      FIND_TOOLS_TOOL,
      "Find an app's tools by a few words (\"blur\", \"new layer\", \"export pdf\"). Returns "
      "names and one-line summaries; get a tool's parameters with brask_describe_tool. Pass app "
      "to search one app (faster).",
      object_schema({{"query", described("string", "A few words; empty lists the app's tools.")},
                     {"app", described("string", "App id from brask_list_apps, e.g. lumeno.")},
                     {"limit", JsonObject{{"default", DEFAULT_FIND_LIMIT},
                                          {"maximum", MAX_FIND_LIMIT},
                                          {"minimum", 1u},
                                          {"type", "integer"}}}},
                    {"query"}),
      read_only()));
  tools.push_back(definition(
      DESCRIBE_TOOL_TOOL, "One app tool's full definition, with its input schema.",
      object_schema({{"app", typed("string")}, {"tool", typed("string")}}, {"app", "tool"}),
      read_only()));
  tools.push_back(definition(
      CALL_TOOL_TOOL,
      "Run one app tool with its arguments. Returns the app's own result. A call that passes "
      "timeoutSeconds stops the app's server, losing unsaved work in a session without a window.",
      object_schema(
          {{"app", typed("string")},
           {"tool", typed("string")},
           {"arguments", described("object", "As the tool's input schema says.")},
           {"timeoutSeconds",
            JsonObject{{"maximum", MAX_CALL_TIMEOUT_SECS}, {"minimum", 1u}, {"type", "integer"}}}},
          {"app", "tool"}),
      JsonObject{{"destructiveHint", true}, {"readOnlyHint", false}}));
  return tools;
}

}  // namespace brask
