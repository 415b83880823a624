// dispatch.h: runs one gateway tool call and shapes its outcome as an MCP tool
// result. For now every gateway tool answers that it is not available yet. Called
// from request threads, several at once; keeps no state of its own.
#pragma once

#include <optional>
#include <string_view>

#include "apps/gateway.h"
#include "json/json.h"

namespace brask {

// The tool result for `name`, or nothing when `name` is not exactly one of the four
// gateway tools (the caller turns that into "unknown tool `{name}`").
std::optional<JsonValue> dispatch_tool(Gateway& gateway, std::string_view name,
                                       const JsonValue& arguments);

// {"content":[{"text":PRETTY,"type":"text"}]}, PRETTY the pretty JSON text of `value`.
JsonValue json_result(const JsonValue& value);
// {"content":[{"text":MESSAGE,"type":"text"}],"isError":true}.
JsonValue error_result(std::string_view message);

}  // namespace brask
