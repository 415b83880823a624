// json_rpc.h: JSON-RPC 2.0 for the agent's requests: validates one request object,
// ignores notifications, picks the MCP method and builds the response object.
// Framing and threads belong to the stdio loop. Called from request threads, several
// at once; keeps no state between requests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "apps/gateway.h"
#include "json/json.h"

namespace brask {

inline constexpr int32_t PARSE_ERROR = -32700;
inline constexpr int32_t INVALID_REQUEST = -32600;
// METHOD_NOT_FOUND is in base/program.h: app connections answer with it too.
inline constexpr int32_t INVALID_PARAMS = -32602;
inline constexpr int32_t INTERNAL_ERROR = -32603;
inline constexpr int32_t SERVER_BUSY = -32000;

struct RpcError {
  int32_t code;
  std::string message;
};

// {"id":ID,"jsonrpc":"2.0","result":RESULT}.
JsonValue success_response(JsonValue id, JsonValue result);
// {"error":{"code":CODE,"message":MESSAGE},"id":ID,"jsonrpc":"2.0"}; never a "data" member.
JsonValue error_response(JsonValue id, const RpcError& error);

// The response to one request object, or nothing for a valid notification. Invalid
// messages get "Invalid Request" (id null unless the request's id is a number or a
// string); unknown methods "unknown method `{name}`". Never fails.
std::optional<JsonValue> handle_request(Gateway& gateway, JsonValue request);

}  // namespace brask
