// The MCP side of the sample apps: handshake, paging, protocol faults, argument checks
// and the shape of every catalogue, spoken to the real program over pipes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "samples/app_session.h"

namespace brask::testing {
namespace {

const char* const APPS[] = {"lumeno", "scribola", "tabulo"};

// Every tool of an app, following "nextCursor"; the number of pages in *pages.
Result<JsonArray> all_tools(AppSession& app, int* pages) {
  JsonArray tools;
  JsonValue params = JsonObject{};
  for (*pages = 1; *pages <= 20; ++*pages) {
    auto response = app.request("tools/list", params);
    if (!response.ok())
      return response.failure();
    const JsonValue* result = response->find("result");
    if (!result || !result->find("tools"))
      return fail("bad page: " + render_compact(*response));
    for (const JsonValue& t : *result->find("tools")->as_array())
      tools.push_back(t);
    const JsonValue* next = result->find("nextCursor");
    if (!next)
      return tools;
    params = JsonObject{{"cursor", *next}};
  }
  return fail("too many pages");
}

TEST(SampleServer, AnswersHandshakeWithItsNameAndTheAskedVersion) {
  const struct {
    const char* app;
    const char* asked;
    const char* answered;
  } cases[] = {
      {"lumeno", "2025-06-18", "2025-06-18"},
      {"scribola", "2025-11-25", "2025-11-25"},
      {"tabulo", "2024-11-05", "2024-11-05"},
      {"lumeno", "1999-01-01", "2025-06-18"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.app) + " " + c.asked);
    AppSession app({c.app});
    ASSERT_EQ(app.error(), "");
    auto response = app.request(
        "initialize", JsonObject{{"capabilities", JsonObject{}},
                                 {"clientInfo", JsonObject{{"name", "t"}, {"version", "1"}}},
                                 {"protocolVersion", c.asked}});
    ASSERT_TRUE(response.ok()) << response.error();
    const JsonValue* result = response->find("result");
    ASSERT_NE(result, nullptr) << render_compact(*response);
    EXPECT_EQ(render_compact(*result->find("protocolVersion")),
              std::string("\"") + c.answered + "\"");
    EXPECT_EQ(render_compact(*result->find("serverInfo")->find("name")),
              std::string("\"") + c.app + "\"");
    EXPECT_EQ(render_compact(*result->find("capabilities")), R"({"tools":{"listChanged":true}})");
    ASSERT_TRUE(app.send_line(R"({"jsonrpc":"2.0","method":"notifications/initialized"})").ok());
    EXPECT_EQ(render_compact(*app.request("ping")), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(app.finish(), 0);
  }
}

TEST(SampleServer, CataloguesAreCompleteAndTabuloPagesThem) {
  for (const char* name : APPS) {
    SCOPED_TRACE(name);
    AppSession app({name});
    int pages = 0;
    auto tools = all_tools(app, &pages);
    ASSERT_TRUE(tools.ok()) << tools.error();
    EXPECT_GE(tools->size(), 20u);
    EXPECT_LE(tools->size(), 60u);
    EXPECT_EQ(pages > 1, std::string(name) == "tabulo");
    std::set<std::string> names;
    for (const JsonValue& tool : *tools) {
      std::string tool_name(*tool.find("name")->as_string());
      SCOPED_TRACE(tool_name);
      EXPECT_TRUE(names.insert(tool_name).second) << "listed twice";
      ASSERT_TRUE(tool.find("title") && tool.find("title")->as_string());
      const std::string description(*tool.find("description")->as_string());
      // A sentence, then at least the start of another.
      EXPECT_NE(description.find(". "), std::string::npos) << description;
      EXPECT_EQ(description.back(), '.');
      const JsonValue* schema = tool.find("inputSchema");
      ASSERT_NE(schema, nullptr);
      EXPECT_EQ(render_compact(*schema->find("type")), "\"object\"");
      ASSERT_NE(schema->find("properties"), nullptr);
      // Shared properties are completed, never left as placeholders.
      for (const auto& [key, property] : *schema->find("properties")->as_object()) {
        EXPECT_FALSE(property.as_object()->empty() && key != "value") << key;
      }
      if (const JsonValue* required = schema->find("required")) {
        for (const JsonValue& key : *required->as_array()) {
          EXPECT_NE(schema->find("properties")->find(*key.as_string()), nullptr)
              << *key.as_string();
        }
      }
      ASSERT_NE(tool.find("annotations"), nullptr);
      EXPECT_NE(tool.find("annotations")->find("readOnlyHint"), nullptr);
    }
    if (std::string(name) == "scribola") {
      EXPECT_TRUE(names.count("list_commands") && names.count("run_command"));
    }
  }
}

TEST(SampleServer, AnswersProtocolFaultsAndIgnoresNotifications) {
  const struct {
    const char* line;
    const char* want;  // "" for no answer at all
  } cases[] = {
      {R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})", ""},
      {R"({"jsonrpc":"2.0","id":"s-1","method":"ping"})",
       R"({"id":"s-1","jsonrpc":"2.0","result":{}})"},
      {R"({"jsonrpc":"2.0","id":7,"method":"resources/list"})",
       R"({"error":{"code":-32601,"message":"method not found: resources/list"},"id":7,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"no_such_tool"}})",
       R"({"error":{"code":-32602,"message":"unknown tool: no_such_tool"},"id":8,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":[]})",
       R"({"error":{"code":-32602,"message":"`params` must be an object"},"id":9,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":10,"method":"tools/list","params":{"cursor":"page-999"}})",
       R"({"error":{"code":-32602,"message":"invalid cursor"},"id":10,"jsonrpc":"2.0"})"},
      {R"([1,2])",
       R"({"error":{"code":-32600,"message":"invalid request"},"id":null,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":3,"result":{}})", ""},
  };
  AppSession app({"tabulo"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(app.send_line(c.line).ok());
    if (*c.want) {
      auto line = app.read_line();
      ASSERT_TRUE(line.ok()) << line.error();
      EXPECT_EQ(*line, c.want);
    }
  }
  // A broken line is answered, and the app goes on serving.
  ASSERT_TRUE(app.send_line("{\"id\":1,").ok());
  auto parse_error = app.read_message();
  ASSERT_TRUE(parse_error.ok());
  EXPECT_EQ(render_compact(*parse_error->find("error")->find("code")), "-32700");
  EXPECT_EQ(render_compact(*app.request("ping")), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(app.finish(), 0);
}

TEST(SampleServer, AnswersAnOversizedLineAndKeepsServing) {
  AppSession app({"lumeno"});
  // Just over the 16 MiB limit, in one line.
  std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")" +
                     std::string(16 * 1024 * 1024, 'x') + "\"}}";
  ASSERT_TRUE(app.send_line(huge).ok());
  auto refusal = app.read_line();
  ASSERT_TRUE(refusal.ok()) << refusal.error();
  EXPECT_EQ(*refusal,
            R"({"error":{"code":-32700,"message":"message too large"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(render_compact(*app.request("ping")), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(app.finish(), 0);
}

TEST(SampleServer, RefusesBadArgumentsAsToolErrors) {
  const struct {
    const char* app;
    const char* tool;
    const char* arguments;
    const char* message;
  } cases[] = {
      {"lumeno", "new_image", R"({"width": 10})", "`height` is required"},
      {"lumeno", "new_image", R"({"width": "10", "height": 5})", "`width` must be a whole number"},
      {"lumeno", "new_image", R"({"width": 1.5, "height": 5})", "`width` must be a whole number"},
      {"lumeno", "new_image", R"({"width": 0, "height": 5})",
       "`width` must be a whole number from 1 to 20000"},
      {"lumeno", "apply_gaussian_blur", R"({"layer": "1", "radius": 0})",
       "`radius` must be a number from 0.1 to 250"},
      {"lumeno", "apply_gaussian_blur", R"({"layer": ""})", "`layer` must not be empty"},
      {"lumeno", "apply_gaussian_blur", R"({"radius": 3})", "`layer` is required"},
      {"lumeno", "apply_gaussian_blur", R"({"layer": "Nope"})",
       "no layer `Nope`; the layers are 1 \"Background\""},
      {"lumeno", "rotate_image", R"({"degrees": "45"})", "`degrees` must be one of 90, 180, 270"},
      {"lumeno", "get_image_info", R"({"verbose": true})", "unknown argument `verbose`"},
      {"lumeno", "get_image_info", R"([])", "the arguments must be an object"},
      {"lumeno", "set_layer_visibility", R"({"layer": "1", "visible": "yes"})",
       "`visible` must be true or false"},
      {"lumeno", "undo", R"({})", "there is nothing to undo"},
      {"tabulo", "set_range", R"({"start": "A1", "rows": [1]})", "`rows[0]` must be an array"},
      {"tabulo", "get_cell", R"({"cell": "A0"})", "`cell` must be a cell such as B7, not `A0`"},
      {"tabulo", "get_cell", R"({"sheet": "Costs", "cell": "A1"})",
       "no sheet `Costs`; the sheets are Sheet1"},
      {"tabulo", "get_range", R"({"range": "A1:Z1000"})", "`range` covers more than 10000 cells"},
      {"scribola", "get_paragraph", R"({"paragraph": 1})", "the document has no paragraphs yet"},
      {"scribola", "run_command", R"({"command": "format.sparkle"})",
       "no command `format.sparkle`; list_commands shows them"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.arguments);
    AppSession app({c.app});
    auto arguments = parse_json(c.arguments);
    ASSERT_TRUE(arguments.ok());
    auto result = app.call(c.tool, *arguments);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_TRUE(is_error_result(*result));
    EXPECT_EQ(result_text(*result), c.message);
  }
}

TEST(SampleServer, InstallingAPluginAnnouncesTheNewTool) {
  AppSession app({"lumeno"});
  auto response = app.request(
      "tools/call",
      JsonObject{{"arguments", JsonObject{{"plugin", "halftone"}}}, {"name", "install_plugin"}});
  ASSERT_TRUE(response.ok());
  EXPECT_EQ(result_text(*response->find("result")),
            "Installed the halftone plug-in; its tool apply_halftone is now available.");
  auto notification = app.read_message();
  ASSERT_TRUE(notification.ok());
  EXPECT_EQ(render_compact(*notification),
            R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  int pages = 0;
  auto tools = all_tools(app, &pages);
  ASSERT_TRUE(tools.ok());
  EXPECT_EQ(*(*tools)[tools->size() - 1].find("name")->as_string(), "apply_halftone");
  auto applied = app.call("apply_halftone", JsonObject{{"layer", "background"}});
  ASSERT_TRUE(applied.ok());
  EXPECT_EQ(result_text(*applied), "Applied halftone, 60 lpi to layer 1 \"Background\".");
  // A second install changes nothing, so nothing is announced: the next line is the ping.
  ASSERT_TRUE(app.call("install_plugin", JsonObject{{"plugin", "halftone"}}).ok());
  EXPECT_EQ(render_compact(*app.request("ping")), R"({"id":5,"jsonrpc":"2.0","result":{}})");
}

TEST(SampleServer, ServesTheLastLineWithoutNewlineThenExits) {
  AppSession app({"scribola"});
  ASSERT_TRUE(app.send_raw("\n  \r\n"
                           R"({"jsonrpc":"2.0","id":1,"method":"ping"})")
                  .ok());
  app.close_input();
  auto line = app.read_line();
  ASSERT_TRUE(line.ok()) << line.error();
  EXPECT_EQ(*line, R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_FALSE(app.read_line().ok());
  EXPECT_EQ(app.finish(), 0);
}

TEST(SampleServer, RefusesUnknownAppsAndArguments) {
  for (std::vector<std::string> args : {std::vector<std::string>{"kinetta"}, {}, {"lumeno", "x"}}) {
    AppSession app(args);
    EXPECT_EQ(app.finish(), 2);
  }
  AppSession with_mcp({"lumeno", "mcp"});
  EXPECT_EQ(render_compact(*with_mcp.request("ping")), R"({"id":1,"jsonrpc":"2.0","result":{}})");
}

}  // namespace
}  // namespace brask::testing
