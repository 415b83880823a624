// server.h: the MCP server side shared by every sample app: the tool table type, the
// argument checks driven by each tool's input schema, and the newline-delimited
// JSON-RPC loop over two descriptors. Apps supply only their tables and handlers.
// Single-threaded: one request is handled at a time, in arrival order.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "json/json.h"

namespace brask::sample {

// Behaviour hints a tool advertises; combined as bit flags in `ToolInfo::hints`.
enum Hint : unsigned {
  READ_ONLY = 1,
  DESTRUCTIVE = 2,
  IDEMPOTENT = 4,
};

// One row of an app's catalogue: plain data, kept in tables.
struct ToolInfo {
  const char* name;
  const char* title;
  const char* description;
  const char* input_schema;  // JSON text of the input schema
  unsigned hints;
};

// A tool's arguments after the schema checks: every declared property with a "default"
// is filled in, so handlers read present values without re-checking types.
class Args {
 public:
  explicit Args(JsonObject values) : values_(std::move(values)) {}
  bool has(std::string_view key) const;
  // The caller has declared the property with the matching type; absent gives the fallback.
  std::string string(std::string_view key, std::string_view fallback = "") const;
  long long integer(std::string_view key, long long fallback = 0) const;
  double number(std::string_view key, double fallback = 0) const;
  bool boolean(std::string_view key, bool fallback = false) const;
  const JsonValue* get(std::string_view key) const { return values_.find(key); }

 private:
  JsonObject values_;
};

// A handler's outcome: a value shown to the client (a string as it is, anything else as
// pretty JSON), or a failure text that becomes a tool result with "isError" true.
using ToolOutput = Result<JsonValue>;
using ToolHandler = std::function<ToolOutput(const Args&)>;

struct Tool {
  ToolInfo info;
  JsonValue schema;
  ToolHandler run;
};

struct AppDefinition {
  std::string id;
  std::string title;
  std::string version;
  std::string instructions;
  size_t page_size = 0;  // tools per tools/list page; 0 lists them all at once
  std::vector<Tool> tools;
  // Set by a handler that changed `tools`; the server then sends
  // notifications/tools/list_changed after the handler's response and clears it.
  bool tools_changed = false;
};

// One catalogue row with its handler, which acts on the app's document `Doc`.
template <class Doc>
struct ToolRow {
  ToolInfo info;
  ToolOutput (*run)(Doc& doc, const Args& args);
};

// Parses a tool's schema text. Fails only on a broken table.
Result<JsonValue> parse_schema(const ToolInfo& info);

// Builds the tools of a table, each handler bound to the shared document.
template <class Doc, size_t N>
Result<std::vector<Tool>> make_tools(const ToolRow<Doc> (&rows)[N], std::shared_ptr<Doc> doc) {
  std::vector<Tool> tools;
  for (const ToolRow<Doc>& row : rows) {
    auto schema = parse_schema(row.info);
    if (!schema.ok())
      return schema.failure();
    auto run = row.run;
    tools.push_back(Tool{row.info, std::move(schema).take(),
                         [doc, run](const Args& args) { return run(*doc, args); }});
  }
  return tools;
}

// Checks `arguments` against a tool's input schema and fills in defaults. Failure texts
// name the argument in backquotes, e.g. "`radius` must be a number".
Result<Args> check_arguments(const JsonValue& schema, const JsonValue* arguments);

// The tools/list entry of a tool: name, title, description, inputSchema, annotations.
JsonValue tool_definition(const ToolInfo& info, const JsonValue& schema);

// Handles one incoming JSON-RPC message and returns what to send back, in order: the
// response (none for a notification or a response), then any notification it caused.
std::vector<JsonValue> handle_message(AppDefinition& app, const JsonValue& message);

// Serves until `in_fd` ends. Returns a failure text when reading or writing fails.
Result<void> serve(AppDefinition& app, int in_fd, int out_fd);

}  // namespace brask::sample
