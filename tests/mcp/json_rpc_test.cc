#include "mcp/json_rpc.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "json/parse.h"
#include "json/render.h"
#include "support/gateway_texts.h"

namespace brask {
namespace {

// The compact response to `request_text`, or "(none)" when there is none.
std::string answer(std::string_view request_text) {
  Gateway gateway({}, {});
  Result<JsonValue> request = parse_json(request_text);
  if (!request.ok())
    return "(request does not parse: " + request.error() + ")";
  std::optional<JsonValue> response = handle_request(gateway, *request);
  return response ? render_compact(*response) : "(none)";
}

TEST(HandleRequest, ValidatesTheEnvelope) {
  const struct {
    std::string_view request, want;
  } cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", R"({"id":1,"jsonrpc":"2.0","result":{}})"},
      {R"({"id":1,"method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":2.0,"id":1,"method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.00","id":1,"method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2","id":"a","method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":"a","jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":true,"method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":[1],"method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":{},"method":"ping"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":3,"method":7})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":3,"jsonrpc":"2.0"})"},
      // A response sent by the agent has no method.
      {R"({"jsonrpc":"2.0","id":4,"result":{}})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":4,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0"})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})"},
      {R"({})",
       R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(answer(c.request), c.want);
  }
}

TEST(HandleRequest, CopiesStringAndNumberIdsAsValues) {
  const struct {
    std::string_view id, want;
  } cases[] = {
      {R"("abc")", R"("abc")"}, {"7", "7"},   {"7.0", "7.0"},
      {"1e2", "100.0"},         {"-3", "-3"}, {"18446744073709551615", "18446744073709551615"},
      {R"("")", R"("")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(answer(R"({"jsonrpc":"2.0","method":"ping","id":)" + std::string(c.id) + "}"),
              R"({"id":)" + std::string(c.want) + R"(,"jsonrpc":"2.0","result":{}})");
  }
}

TEST(HandleRequest, NotificationsGetNoAnswerWhateverTheMethod) {
  for (std::string_view method :
       {"notifications/initialized", "ping", "tools/call", "no/such", "initialize"}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(answer(R"({"jsonrpc":"2.0","method":")" + std::string(method) + R"("})"), "(none)");
  }
}

TEST(HandleRequest, MethodNamesMatchExactly) {
  const struct {
    std::string_view request, want;
  } cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"Ping"})",
       R"({"error":{"code":-32601,"message":"unknown method `Ping`"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/list "})",
       R"({"error":{"code":-32601,"message":"unknown method `tools/list `"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":1,"method":""})",
       R"({"error":{"code":-32601,"message":"unknown method ``"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})",
       R"({"error":{"code":-32601,"message":"unknown method `resources/list`"},"id":1,"jsonrpc":"2.0"})"},
      // Methods that do not read params accept any.
      {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":"x"})",
       R"({"id":1,"jsonrpc":"2.0","result":{}})"},
      {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":[1,2]})",
       R"({"id":1,"jsonrpc":"2.0","result":{}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(answer(c.request), c.want);
  }
}

TEST(HandleRequest, RunsTheMcpMethods) {
  EXPECT_EQ(
      answer(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})"),
      R"({"id":1,"jsonrpc":"2.0","result":)" + std::string(testing::INITIALIZE_RESULT_TEXT) + "}");
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"cursor":"x"}})"),
            R"({"id":2,"jsonrpc":"2.0","result":{"tools":)" +
                std::string(testing::TOOL_DEFINITIONS_TEXT) + "}}");
  EXPECT_EQ(
      answer(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":[]})"),
      R"({"error":{"code":-32602,"message":"`params` must be an object"},"id":3,"jsonrpc":"2.0"})");
}

TEST(RpcResponses, HaveExactlyTheirMembers) {
  EXPECT_EQ(render_compact(error_response(nullptr, {SERVER_BUSY, "busy"})),
            R"({"error":{"code":-32000,"message":"busy"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(render_compact(success_response("x", JsonArray{})),
            R"({"id":"x","jsonrpc":"2.0","result":[]})");
}

}  // namespace
}  // namespace brask
