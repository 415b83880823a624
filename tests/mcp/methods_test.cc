#include "mcp/methods.h"

#include <gtest/gtest.h>

#include <string>

#include "json/parse.h"
#include "json/render.h"
#include "support/gateway_texts.h"

namespace brask {
namespace {

JsonValue parsed(std::string_view text) {
  Result<JsonValue> value = parse_json(text);
  EXPECT_TRUE(value.ok()) << text << ": " << value.error();
  return value.ok() ? std::move(value).take() : JsonValue();
}

TEST(InitializeResult, AnswersASupportedVersionOrTheDefault) {
  const struct {
    std::string_view request, want;
  } cases[] = {
      {R"({"params":{"protocolVersion":"2025-11-25"}})", "2025-11-25"},
      {R"({"params":{"protocolVersion":"2025-06-18"}})", "2025-06-18"},
      {R"({"params":{"protocolVersion":"2024-11-05"}})", "2025-06-18"},
      {R"({"params":{"protocolVersion":"2025-11-25 "}})", "2025-06-18"},
      {R"({"params":{"protocolVersion":20251125}})", "2025-06-18"},
      {R"({"params":{"protocolversion":"2025-11-25"}})", "2025-06-18"},
      {R"({"params":["2025-11-25"]})", "2025-06-18"},
      {R"({"params":"2025-11-25"})", "2025-06-18"},
      {R"({})", "2025-06-18"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    JsonValue result = initialize_result(parsed(c.request));
    const JsonValue* version = result.find("protocolVersion");
    ASSERT_TRUE(version && version->as_string());
    EXPECT_EQ(*version->as_string(), c.want);
  }
}

TEST(InitializeResult, RendersByteForByte) {
  EXPECT_EQ(render_compact(initialize_result(
                parsed(R"({"params":{"capabilities":{"x":1},"clientInfo":{"name":"agent"}}})"))),
            testing::INITIALIZE_RESULT_TEXT);
}

TEST(ToolsCall, ChecksParamsBeforeDispatching) {
  const struct {
    std::string_view request, want;  // want: compact result, or "error: TEXT"
  } cases[] = {
      {R"({})", "error: `params` must be an object"},
      {R"({"params":null})", "error: `params` must be an object"},
      {R"({"params":[]})", "error: `params` must be an object"},
      {R"({"params":"brask_list_apps"})", "error: `params` must be an object"},
      {R"({"params":{}})", "error: `params.name` must be a string"},
      {R"({"params":{"name":5}})", "error: `params.name` must be a string"},
      {R"({"params":{"name":null,"arguments":{}}})", "error: `params.name` must be a string"},
      {R"({"params":{"name":"lumeno_blur"}})", "error: unknown tool `lumeno_blur`"},
      {R"({"params":{"name":"Brask_list_apps"}})", "error: unknown tool `Brask_list_apps`"},
      {R"({"params":{"name":" brask_list_apps"}})", "error: unknown tool ` brask_list_apps`"},
      {R"({"params":{"name":""}})", "error: unknown tool ``"},
      {R"({"params":{"name":"brask_list_apps","arguments":"odd"}})",
       R"({"content":[{"text":"{\n  \"apps\": []\n}","type":"text"}]})"},
      {R"({"params":{"name":"brask_call_tool"}})",
       R"({"content":[{"text":"`app` is required and must be a string","type":"text"}],"isError":true})"},
  };
  Gateway gateway({}, {});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    Result<JsonValue> result = tools_call(gateway, parsed(c.request));
    EXPECT_EQ(result.ok() ? render_compact(*result) : "error: " + result.error(), c.want);
  }
}

}  // namespace
}  // namespace brask
