#include "apps/tool_definitions.h"

#include <gtest/gtest.h>

#include <string>

#include "json/render.h"
#include "support/gateway_texts.h"

namespace brask {
namespace {

TEST(ToolDefinitions, RenderByteForByte) {
  EXPECT_EQ(render_compact(gateway_tool_definitions()), testing::TOOL_DEFINITIONS_TEXT);
}

TEST(ToolDefinitions, NamesMatchTheConstantsInOrder) {
  JsonValue tools = gateway_tool_definitions();
  ASSERT_TRUE(tools.as_array());
  const std::string_view want[] = {LIST_APPS_TOOL, FIND_TOOLS_TOOL, DESCRIBE_TOOL_TOOL,
                                   CALL_TOOL_TOOL};
  ASSERT_EQ(tools.as_array()->size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const JsonValue* name = (*tools.as_array())[i].find("name");
    ASSERT_TRUE(name && name->as_string());
    EXPECT_EQ(*name->as_string(), want[i]);
  }
}

}  // namespace
}  // namespace brask
