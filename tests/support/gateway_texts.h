// gateway_texts.h: whole answers of the gateway, written out by hand so that tests
// compare against the wire text itself rather than against the code's own builders.
#pragma once

#include <string_view>

namespace brask::testing {

// The "tools" array of tools/list, in its compact form.
inline constexpr std::string_view TOOL_DEFINITIONS_TEXT =
    R"([{"annotations":{"readOnlyHint":true},"description":"List the Brask apps (Lumeno, Kinetta, Scribola, ...) you can use here. Start here.","inputSchema":{"properties":{},"type":"object"},"name":"brask_list_apps"},)"
    R"({"annotations":{"readOnlyHint":true},"description":"Find an app's tools by a few words (\"blur\", \"new layer\", \"export pdf\"). Returns names and one-line summaries; get a tool's parameters with brask_describe_tool. Pass app to search one app (faster).","inputSchema":{"properties":{"app":{"description":"App id from brask_list_apps, e.g. lumeno.","type":"string"},"limit":{"default":20,"maximum":50,"minimum":1,"type":"integer"},"query":{"description":"A few words; empty lists the app's tools.","type":"string"}},"required":["query"],"type":"object"},"name":"brask_find_tools"},)"
    R"({"annotations":{"readOnlyHint":true},"description":"One app tool's full definition, with its input schema.","inputSchema":{"properties":{"app":{"type":"string"},"tool":{"type":"string"}},"required":["app","tool"],"type":"object"},"name":"brask_describe_tool"},)"
    R"({"annotations":{"destructiveHint":true,"readOnlyHint":false},"description":"Run one app tool with its arguments. Returns the app's own result. A call that passes timeoutSeconds stops the app's server, losing unsaved work in a session without a window.","inputSchema":{"properties":{"app":{"type":"string"},"arguments":{"description":"As the tool's input schema says.","type":"object"},"timeoutSeconds":{"maximum":3600,"minimum":1,"type":"integer"},"tool":{"type":"string"}},"required":["app","tool"],"type":"object"},"name":"brask_call_tool"}])";

// The initialize result for the default protocol version, in its compact form.
inline constexpr std::string_view INITIALIZE_RESULT_TEXT =
    R"({"capabilities":{"tools":{"listChanged":false}},"instructions":"Brask apps (Lumeno, Kinetta, Scribola, ...). Start with brask_list_apps, find a tool with brask_find_tools, read its parameters with brask_describe_tool, run it with brask_call_tool.","protocolVersion":"2025-06-18","serverInfo":{"name":"brask-ai-mcp","version":"0.1.0"}})";

}  // namespace brask::testing
