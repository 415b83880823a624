// Request handling on a gateway with no apps: any JSON value the agent sends yields
// either nothing (a notification) or one well-formed JSON-RPC response whose id is
// the request's number or string id, or null.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "apps/gateway.h"
#include "json/json.h"
#include "json/parse.h"
#include "json/render.h"
#include "mcp/json_rpc.h"

namespace {

using namespace brask;

bool valid_response(const JsonValue& request, const JsonValue& response) {
  auto object = response.as_object();
  if (object == nullptr)
    return false;
  const JsonValue* version = object->find("jsonrpc");
  if (version == nullptr || version->as_string() == nullptr || *version->as_string() != "2.0")
    return false;
  const JsonValue* id = object->find("id");
  if (id == nullptr)
    return false;
  const JsonValue* result = object->find("result");
  const JsonValue* error = object->find("error");
  if ((result == nullptr) == (error == nullptr) || object->size() != 3)
    return false;
  if (error != nullptr) {
    const JsonValue* code = error->find("code");
    const JsonValue* message = error->find("message");
    if (code == nullptr || !code->is_number() || message == nullptr ||
        message->as_string() == nullptr || error->as_object()->size() != 2)
      return false;
  }
  if (!id->is_null()) {
    const JsonValue* sent = request.find("id");
    if (sent == nullptr || !(*sent == *id))
      return false;
    if (!id->is_number() && id->as_string() == nullptr)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Gateway* gateway = new Gateway({}, {});
  auto parsed = parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed.ok())
    return 0;
  std::optional<JsonValue> response = handle_request(*gateway, *parsed);
  if (!response)
    return 0;
  if (!valid_response(*parsed, *response))
    std::abort();
  // The answer must survive the wire: one line that parses back to itself.
  const std::string line = render_compact(*response);
  auto back = parse_json(line);
  if (line.find('\n') != std::string::npos || !back.ok() || !(*back == *response))
    std::abort();
  return 0;
}
