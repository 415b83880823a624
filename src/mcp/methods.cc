#include "mcp/methods.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "apps/dispatch.h"
#include "apps/tool_definitions.h"

namespace brask {

JsonValue initialize_result(const JsonValue& request) {
  std::string_view version = PROTOCOL_VERSION;
  const JsonValue* params = request.find("params");
  const JsonValue* asked = params ? params->find("protocolVersion") : nullptr;
  auto asked_text = asked ? asked->as_string() : nullptr;
  if (asked_text &&
      std::find(SUPPORTED_PROTOCOL_VERSIONS.begin(), SUPPORTED_PROTOCOL_VERSIONS.end(),
                *asked_text) != SUPPORTED_PROTOCOL_VERSIONS.end()) {
    version = *asked_text;
  }
  return JsonObject{
      {"capabilities", JsonObject{{"tools", JsonObject{{"listChanged", false}}}}},
      {"instructions", INSTRUCTIONS},
      {"protocolVersion", version},
      {"serverInfo", JsonObject{{"name", PROGRAM_NAME}, {"version", PROGRAM_VERSION}}}};
}

JsonValue tools_list_result(const Gateway& /*gateway*/) {
  return JsonObject{{"tools", gateway_tool_definitions()}};
}

Result<JsonValue> tools_call(Gateway& gateway, JsonValue request) {
  const JsonValue* params = request.find("params");
  if (!params || !params->as_object())
    return fail("`params` must be an object");
  const JsonValue* name_member = params->find("name");
  auto name_text = name_member ? name_member->as_string() : nullptr;
  if (!name_text)
    return fail("`params.name` must be a string");
  const std::string name(*name_text);
  // Taken, not copied: they may be most of the largest request line.
  const bool given = params->find("arguments") != nullptr;
  JsonValue arguments =
      given ? std::move(request).take("params").take("arguments") : JsonValue(JsonObject{});
  std::optional<JsonValue> result = dispatch_tool(gateway, name, std::move(arguments));
  if (!result)
    return fail("unknown tool `" + name + "`");
  return std::move(*result);
}

}  // namespace brask
