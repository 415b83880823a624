// tool_definitions.h: the four gateway tools as the agent sees them in tools/list:
// names, descriptions, input schemas and behaviour hints. Constants only; how the
// tools behave lives in dispatch. Pure; safe from any thread.
#pragma once

#include <string_view>

#include "json/json.h"

namespace brask {

inline constexpr std::string_view LIST_APPS_TOOL = "brask_list_apps";
inline constexpr std::string_view FIND_TOOLS_TOOL = "brask_find_tools";
inline constexpr std::string_view DESCRIBE_TOOL_TOOL = "brask_describe_tool";
inline constexpr std::string_view CALL_TOOL_TOOL = "brask_call_tool";

// A fresh array of the four definitions, in the order above. The same on every call,
// whatever the apps file says.
JsonValue gateway_tool_definitions();

}  // namespace brask
