// methods.h: the results of the MCP methods that do work: initialize, tools/list and
// tools/call (its params checks; the tools themselves live in apps/dispatch).
// json_rpc wraps these in responses. Called from request threads, several at once.
#pragma once

#include <array>
#include <string_view>

#include "apps/gateway.h"
#include "base/program.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

inline constexpr std::array<std::string_view, 2> SUPPORTED_PROTOCOL_VERSIONS = {PROTOCOL_VERSION,
                                                                                "2025-11-25"};
inline constexpr std::string_view INSTRUCTIONS =
    "Brask apps (Lumeno, Kinetta, Scribola, ...). Start with brask_list_apps, find a tool with "
    "brask_find_tools, read its parameters with brask_describe_tool, run it with "
    "brask_call_tool.";

// The handshake answer. The protocol version is the client's "params.protocolVersion"
// when it is exactly one of the supported ones, otherwise PROTOCOL_VERSION. Never fails.
JsonValue initialize_result(const JsonValue& request);

// {"tools":[...the four gateway tools...]}; the request's params are not read.
JsonValue tools_list_result(const Gateway& gateway);

// The tool result of a tools/call request. Failure texts (sent as invalid params):
// "`params` must be an object", "`params.name` must be a string", "unknown tool `{name}`".
// May run for a long time (it can start app servers); holds no lock of its own.
Result<JsonValue> tools_call(Gateway& gateway, JsonValue request);

}  // namespace brask
