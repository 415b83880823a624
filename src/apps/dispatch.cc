#include "apps/dispatch.h"

#include <string>

#include "apps/tool_definitions.h"
#include "json/render.h"

namespace brask {
namespace {

JsonValue text_content(std::string text) {
  return JsonArray{JsonObject{{"text", std::move(text)}, {"type", "text"}}};
}

}  // namespace

std::optional<JsonValue> dispatch_tool(Gateway& /*gateway*/, std::string_view name,
                                       const JsonValue& /*arguments*/) {
  for (std::string_view tool :
       {LIST_APPS_TOOL, FIND_TOOLS_TOOL, DESCRIBE_TOOL_TOOL, CALL_TOOL_TOOL}) {
    if (name == tool)
      return error_result("`" + std::string(name) + "` is not available yet");
  }
  return std::nullopt;
}

JsonValue json_result(const JsonValue& value) {
  return JsonObject{{"content", text_content(render_pretty(value))}};
}

JsonValue error_result(std::string_view message) {
  return JsonObject{{"content", text_content(std::string(message))}, {"isError", true}};
}

}  // namespace brask
