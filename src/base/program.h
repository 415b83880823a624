// program.h: who the gateway says it is and the protocol it speaks, on both of its sides:
// as the server an agent talks to and as the client of each app server. Constants only.
#pragma once

#include <cstdint>
#include <string_view>

namespace brask {

inline constexpr std::string_view PROGRAM_NAME = "brask-ai-mcp";
inline constexpr std::string_view PROGRAM_VERSION = "0.1.0";
// The MCP version asked of app servers, and answered to an agent that asks for none
// the gateway supports.
inline constexpr std::string_view PROTOCOL_VERSION = "2025-06-18";
// JSON-RPC's code for a method nobody serves: the agent's unknown methods, and the
// requests an app sends that the gateway does not answer.
inline constexpr int32_t METHOD_NOT_FOUND = -32601;

}  // namespace brask
