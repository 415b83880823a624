#include "mcp/json_rpc.h"

#include <utility>

#include "base/program.h"
#include "mcp/methods.h"

namespace brask {

JsonValue success_response(JsonValue id, JsonValue result) {
  return JsonObject{{"id", std::move(id)}, {"jsonrpc", "2.0"}, {"result", std::move(result)}};
}

JsonValue error_response(JsonValue id, const RpcError& error) {
  return JsonObject{{"error", JsonObject{{"code", static_cast<long long>(error.code)},
                                         {"message", error.message}}},
                    {"id", std::move(id)},
                    {"jsonrpc", "2.0"}};
}

std::optional<JsonValue> handle_request(Gateway& gateway, JsonValue request) {
  const JsonValue* id_member = request.find("id");
  const bool id_usable = id_member && (id_member->is_number() || id_member->as_string());
  JsonValue id = id_usable ? *id_member : JsonValue();

  const JsonValue* version = request.find("jsonrpc");
  const JsonValue* method_member = request.find("method");
  auto method = method_member ? method_member->as_string() : nullptr;
  const bool valid = version && version->as_string() && *version->as_string() == "2.0" &&
                     (!id_member || id_usable) && method;
  if (!valid)
    return error_response(std::move(id), {INVALID_REQUEST, "Invalid Request"});
  if (!id_member)
    return std::nullopt;

  if (*method == "initialize")
    return success_response(std::move(id), initialize_result(request));
  if (*method == "ping")
    return success_response(std::move(id), JsonObject{});
  if (*method == "tools/list")
    return success_response(std::move(id), tools_list_result(gateway));
  if (*method == "tools/call") {
    Result<JsonValue> result = tools_call(gateway, std::move(request));
    if (!result.ok())
      return error_response(std::move(id), {INVALID_PARAMS, result.error()});
    return success_response(std::move(id), std::move(result).take());
  }
  return error_response(std::move(id),
                        {METHOD_NOT_FOUND, "unknown method `" + std::string(*method) + "`"});
}

}  // namespace brask
