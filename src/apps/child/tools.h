// tools.h: the two MCP client operations on an app's tools: the whole tool list,
// page by page, and one tool call. Runs on the thread holding the app's connection.
#pragma once

#include <chrono>
#include <string_view>
#include <vector>

#include "apps/child/channel.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

inline constexpr int TOOLS_LIST_TIMEOUT_SECS = 30;
inline constexpr int MAX_TOOL_PAGES = 64;

// Every tool the app lists, in order: each an object with a string "name", kept
// whole; other entries are skipped. Failures: the failure of a tools/list request,
// "the app lists its tools in more than 64 pages".
Result<std::vector<JsonValue>> list_tools(AppConnection& connection);

// One tools/call; the app's result comes back unexamined (an app-level tool error
// is a success here). Failures: those of `request`.
Result<JsonValue> call_tool(AppConnection& connection, std::string_view name, JsonValue arguments,
                            std::chrono::nanoseconds timeout);

}  // namespace brask
