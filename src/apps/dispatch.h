// dispatch.h: runs one gateway tool call: the agents gate, each tool's argument rules,
// the tool itself, and the MCP tool result that carries the outcome. Called from
// request threads, several at once; keeps no state of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "apps/gateway.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

inline constexpr uint64_t DEFAULT_CALL_TIMEOUT_SECS = 600;
inline constexpr uint64_t MAX_CALL_TIMEOUT_SECS = 3600;

// The tool result for `name`, or nothing when `name` is not exactly one of the four
// gateway tools (the caller turns that into "unknown tool `{name}`"). Every failure of
// a known tool is an error result; a successful "brask_call_tool" answers the app's own
// result unchanged.
std::optional<JsonValue> dispatch_tool(Gateway& gateway, std::string_view name,
                                       JsonValue arguments);

// {"content":[{"text":PRETTY,"type":"text"}]}, PRETTY the pretty JSON text of `value`.
JsonValue json_result(const JsonValue& value);
// {"content":[{"text":MESSAGE,"type":"text"}],"isError":true}.
JsonValue error_result(std::string_view message);

// Succeeds while agents are on. Otherwise asks every app to stop (never waiting for an
// app in use) and fails with the agents-off message. When the check itself fails (the
// gateway could not read the file), fails with its text and stops nothing.
Result<void> agents_gate(Gateway& gateway);

// The string member `key` of `arguments`, untrimmed, when it has a character other than
// White_Space. Failure: "`{key}` is required and must be a string".
Result<std::string> required_string(const JsonValue& arguments, std::string_view key);

struct FindToolsArguments {
  std::string query;               // "" when absent or null
  std::optional<std::string> app;  // none when absent, null or blank: all apps
  uint64_t limit = 0;              // as sent, 0 included; DEFAULT_FIND_LIMIT when absent
};
// "query", "app", "limit" in that order; the first failure: "`query` must be a string",
// "`app` must be a string", "`limit` must be a positive whole number".
Result<FindToolsArguments> read_find_tools_arguments(const JsonValue& arguments);

struct CallToolArguments {
  std::string app;
  std::string tool;
  JsonValue arguments;    // an object; {} when absent or null
  uint64_t timeout_secs;  // 1..MAX_CALL_TIMEOUT_SECS; DEFAULT_CALL_TIMEOUT_SECS when absent
};
// "app", "tool", "arguments", "timeoutSeconds" in that order; the first failure: those of
// required_string, "`arguments` must be an object", "`timeoutSeconds` must be a whole
// number of seconds, at least 1". The tool's own arguments are moved out of `arguments`.
Result<CallToolArguments> read_call_tool_arguments(JsonValue arguments);

}  // namespace brask
