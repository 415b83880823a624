#include "apps/child/tools.h"

#include <optional>
#include <string>
#include <utility>

#include "apps/child/client.h"

namespace brask {

Result<std::vector<JsonValue>> list_tools(AppConnection& connection) {
  std::vector<JsonValue> tools;
  std::optional<std::string> cursor;
  for (int page = 0; page < MAX_TOOL_PAGES; ++page) {
    JsonObject params;
    if (cursor)
      params.set("cursor", std::move(*cursor));
    Result<JsonValue> result = request(connection, "tools/list", JsonValue(std::move(params)),
                                       std::chrono::seconds(TOOLS_LIST_TIMEOUT_SECS));
    if (!result.ok())
      return result.failure();
    if (const JsonValue* listed = result->find("tools")) {
      if (auto entries = listed->as_array()) {
        for (const JsonValue& entry : *entries) {
          const JsonValue* name = entry.find("name");
          if (name && name->as_string())
            tools.push_back(entry);
        }
      }
    }
    const JsonValue* next = result->find("nextCursor");
    if (!next || !next->as_string())
      return tools;
    cursor = std::string(*next->as_string());
  }
  return fail("the app lists its tools in more than " + std::to_string(MAX_TOOL_PAGES) + " pages");
}

Result<JsonValue> call_tool(AppConnection& connection, std::string_view name, JsonValue arguments,
                            std::chrono::nanoseconds timeout) {
  JsonValue params = JsonObject{{"arguments", std::move(arguments)}, {"name", std::string(name)}};
  return request(connection, "tools/call", std::move(params), timeout);
}

}  // namespace brask
