#include "apps/dispatch.h"

#include <algorithm>
#include <utility>

#include "apps/find_tools.h"
#include "apps/list_apps.h"
#include "apps/registry.h"
#include "apps/tool_calls.h"
#include "apps/tool_definitions.h"
#include "json/render.h"
#include "text/text.h"

namespace brask {
namespace {

JsonValue text_content(std::string text) {
  return JsonArray{JsonObject{{"text", std::move(text)}, {"type", "text"}}};
}

// A member that is absent, or null, counts as not given; members of a non-object are
// all absent.
const JsonValue* given(const JsonValue& arguments, std::string_view key) {
  const JsonValue* value = arguments.find(key);
  return value && !value->is_null() ? value : nullptr;
}

JsonValue answer(Result<JsonValue> outcome) {
  return outcome.ok() ? json_result(*outcome) : error_result(outcome.error());
}

JsonValue run_find_tools(Gateway& gateway, JsonValue& arguments) {
  Result<FindToolsArguments> read = read_find_tools_arguments(arguments);
  if (!read.ok())
    return error_result(read.error());
  std::optional<std::string_view> app;
  if (read->app)
    app = *read->app;
  return answer(find_tools(gateway, read->query, app, read->limit));
}

JsonValue run_describe_tool(Gateway& gateway, JsonValue& arguments) {
  Result<std::string> app = required_string(arguments, "app");
  if (!app.ok())
    return error_result(app.error());
  Result<std::string> tool = required_string(arguments, "tool");
  if (!tool.ok())
    return error_result(tool.error());
  return answer(describe_tool(gateway, *app, *tool));
}

JsonValue run_call_tool(Gateway& gateway, JsonValue& arguments) {
  Result<CallToolArguments> read = read_call_tool_arguments(std::move(arguments));
  if (!read.ok())
    return error_result(read.error());
  Result<JsonValue> outcome =
      run_app_tool(gateway, read->app, read->tool, std::move(read->arguments), read->timeout_secs);
  // The app's own result goes back as it came, an error inside it included.
  return outcome.ok() ? std::move(outcome).take() : error_result(outcome.error());
}

}  // namespace

std::optional<JsonValue> dispatch_tool(Gateway& gateway, std::string_view name,
                                       JsonValue arguments) {
  JsonValue (*run)(Gateway&, JsonValue&) = nullptr;
  if (name == LIST_APPS_TOOL) {
    run = [](Gateway& g, JsonValue&) { return json_result(list_apps(g)); };
  } else if (name == FIND_TOOLS_TOOL) {
    run = run_find_tools;
  } else if (name == DESCRIBE_TOOL_TOOL) {
    run = run_describe_tool;
  } else if (name == CALL_TOOL_TOOL) {
    run = run_call_tool;
  } else {
    return std::nullopt;
  }
  // Before the arguments are looked at: while agents are off every tool says so.
  Result<void> gate = agents_gate(gateway);
  if (!gate.ok())
    return error_result(gate.error());
  return run(gateway, arguments);
}

JsonValue json_result(const JsonValue& value) {
  return JsonObject{{"content", text_content(render_pretty(value))}};
}

JsonValue error_result(std::string_view message) {
  return JsonObject{{"content", text_content(std::string(message))}, {"isError", true}};
}

Result<void> agents_gate(Gateway& gateway) {
  Result<bool> enabled = gateway.agents_enabled();
  // The gateway's own shortage is answered as such; it is not the user's switch.
  if (!enabled.ok())
    return enabled.failure();
  if (*enabled)
    return {};
  gateway.stop_all_apps();
  return fail(std::string(AGENTS_OFF_MESSAGE));
}

Result<std::string> required_string(const JsonValue& arguments, std::string_view key) {
  const JsonValue* value = arguments.find(key);
  auto text = value ? value->as_string() : nullptr;
  if (!text || trim_white_space(*text).empty()) {
    // Appended rather than `"`" + ...`: g++ 12 at -O3 warns falsely (-Wrestrict) on that.
    std::string message = "`";
    message.append(key).append("` is required and must be a string");
    return fail(std::move(message));
  }
  return std::string(*text);
}

Result<FindToolsArguments> read_find_tools_arguments(const JsonValue& arguments) {
  FindToolsArguments read;
  if (const JsonValue* query = given(arguments, "query")) {
    if (!query->as_string())
      return fail("`query` must be a string");
    read.query = std::string(*query->as_string());
  }
  if (const JsonValue* app = given(arguments, "app")) {
    if (!app->as_string())
      return fail("`app` must be a string");
    if (!trim_white_space(*app->as_string()).empty())
      read.app = std::string(*app->as_string());
  }
  read.limit = DEFAULT_FIND_LIMIT;
  if (const JsonValue* limit = given(arguments, "limit")) {
    if (!limit->as_unsigned())
      return fail("`limit` must be a positive whole number");
    read.limit = *limit->as_unsigned();
  }
  return read;
}

Result<CallToolArguments> read_call_tool_arguments(JsonValue arguments) {
  Result<std::string> app = required_string(arguments, "app");
  if (!app.ok())
    return app.failure();
  Result<std::string> tool = required_string(arguments, "tool");
  if (!tool.ok())
    return tool.failure();
  CallToolArguments read{std::move(app).take(), std::move(tool).take(), JsonObject{},
                         DEFAULT_CALL_TIMEOUT_SECS};
  const bool tool_arguments = given(arguments, "arguments") != nullptr;
  if (tool_arguments && !arguments.find("arguments")->as_object())
    return fail("`arguments` must be an object");
  if (const JsonValue* timeout = given(arguments, "timeoutSeconds")) {
    const uint64_t* seconds = timeout->as_unsigned();
    if (!seconds || *seconds < 1) {
      return fail("`timeoutSeconds` must be a whole number of seconds, at least 1");
    }
    read.timeout_secs = std::min(*seconds, MAX_CALL_TIMEOUT_SECS);
  }
  // Last: taking them drops the rest of `arguments`.
  if (tool_arguments)
    read.arguments = std::move(arguments).take("arguments");
  return read;
}

}  // namespace brask
