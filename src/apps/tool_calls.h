// tool_calls.h: finding an app by the agent's "app" argument, looking a tool up in an
// app's catalogue, describing a tool and running one. Starting, listing and locking are
// left to the gateway's slot operations. Called from request threads, several at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "apps/child/app_entry.h"
#include "apps/gateway.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

// The registry position of the app whose id equals `reference` trimmed of White_Space
// and lower-cased. Failures quote `reference` as sent:
// "no Brask app is available to agents (asked for `{app}`); turn agents on in the
// Velmora Launcher" when `apps` is empty, else "no app `{app}`; available: {ids}".
Result<size_t> find_app(const std::vector<AppEntry>& apps, std::string_view reference);

// The string "name" of `tool`; nullptr when it has none (never for a catalogue entry).
JsonView<std::string_view> tool_name(const AppTool& tool);

// The first entry of `catalogue` that is an object whose "name" is the string `tool`,
// compared byte for byte; nullptr when none is. Valid as long as `catalogue` is.
const JsonValue* find_listed_tool(const ToolCatalogue& catalogue, std::string_view tool);

// "{app} has no tool `{tool}`; use brask_find_tools to look for one".
std::string no_tool_message(std::string_view app, std::string_view tool);

// A copy of the app's whole entry for `tool`, starting the app and listing its tools
// when no catalogue is held. Failures: those of find_app and app_tools, no_tool_message.
Result<JsonValue> describe_tool(Gateway& gateway, std::string_view app, std::string_view tool);

// Runs `tool` with `arguments` (an object) and returns the app's own result object,
// unexamined beyond that: a result that is not an object fails with
// "`{tool}` of {app} answered with a result that is not an object".
// Nothing reaches the app unless the catalogue lists the tool. The app's connection lock
// is held for the whole call, which waits at most `timeout_secs` for the answer (then
// the connection ends and the server is replaced at the app's next use). Failures: those
// of find_app and use_app, no_tool_message, and the request's own (time-out, the app's
// error, the end of the connection).
Result<JsonValue> run_app_tool(Gateway& gateway, std::string_view app, std::string_view tool,
                               JsonValue arguments, uint64_t timeout_secs);

}  // namespace brask
