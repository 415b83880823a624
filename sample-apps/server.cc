#include "server.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/unique_fd.h"
#include "json/parse.h"
#include "json/render.h"

namespace brask::sample {
namespace {

// Lines beyond this are dropped with a parse error instead of growing without bound.
constexpr size_t MAX_LINE_BYTES = 16 * 1024 * 1024;

const char* const PROTOCOL_VERSIONS[] = {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};
constexpr const char* DEFAULT_PROTOCOL_VERSION = "2025-06-18";

constexpr int PARSE_ERROR = -32700;
constexpr int INVALID_REQUEST = -32600;
constexpr int METHOD_NOT_FOUND = -32601;
constexpr int INVALID_PARAMS = -32602;

JsonValue error_response(JsonValue id, int code, std::string message) {
  return JsonObject{{"error", JsonObject{{"code", code}, {"message", std::move(message)}}},
                    {"id", std::move(id)},
                    {"jsonrpc", "2.0"}};
}

JsonValue result_response(JsonValue id, JsonValue result) {
  return JsonObject{{"id", std::move(id)}, {"jsonrpc", "2.0"}, {"result", std::move(result)}};
}

JsonValue text_result(std::string text, bool is_error) {
  JsonObject result{
      {"content", JsonArray{JsonObject{{"text", std::move(text)}, {"type", "text"}}}}};
  if (is_error)
    result.set("isError", true);
  return result;
}

// Numbers in argument messages read as people write them: 250, 0.5.
std::string json_number_text(const JsonValue& v) {
  if (const uint64_t* u = v.as_unsigned())
    return std::to_string(*u);
  if (const int64_t* s = v.as_signed())
    return std::to_string(*s);
  if (const double* d = v.as_double()) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", *d);
    return buffer;
  }
  return "?";
}

std::optional<double> number_value(const JsonValue& v) {
  if (const uint64_t* u = v.as_unsigned())
    return static_cast<double>(*u);
  if (const int64_t* s = v.as_signed())
    return static_cast<double>(*s);
  if (const double* d = v.as_double())
    return *d;
  return std::nullopt;
}

std::string quoted(std::string_view key) {
  return "`" + std::string(key) + "`";
}

Result<void> check_range(std::string_view key, const JsonValue& property, double value,
                         const char* what) {
  const JsonValue* min = property.find("minimum");
  const JsonValue* max = property.find("maximum");
  bool low = min && number_value(*min) && value < *number_value(*min);
  bool high = max && number_value(*max) && value > *number_value(*max);
  if (!low && !high)
    return {};
  std::string text = quoted(key) + " must be " + what;
  if (min && max)
    return fail(text + " from " + json_number_text(*min) + " to " + json_number_text(*max));
  if (min)
    return fail(text + " of at least " + json_number_text(*min));
  return fail(text + " of at most " + json_number_text(*max));
}

Result<void> check_value(std::string_view key, const JsonValue& property, const JsonValue& value) {
  auto type = property.find("type") ? property.find("type")->as_string() : nullptr;
  std::string_view t = type ? std::string_view(*type) : std::string_view();
  if (t == "string") {
    auto s = value.as_string();
    if (!s)
      return fail(quoted(key) + " must be a string");
    if (const JsonValue* options = property.find("enum"); options && options->as_array()) {
      std::string list;
      for (const JsonValue& option : *options->as_array()) {
        if (option == value)
          return {};
        if (!list.empty())
          list += ", ";
        list += option.as_string() ? *option.as_string() : "?";
      }
      return fail(quoted(key) + " must be one of " + list);
    }
    const JsonValue* min_length = property.find("minLength");
    if (min_length && min_length->as_unsigned() && s->size() < *min_length->as_unsigned()) {
      return fail(quoted(key) + " must not be empty");
    }
    return {};
  }
  if (t == "integer") {
    double n;
    if (const uint64_t* u = value.as_unsigned()) {
      n = static_cast<double>(*u);
    } else if (const int64_t* i = value.as_signed()) {
      n = static_cast<double>(*i);
    } else {
      return fail(quoted(key) + " must be a whole number");
    }
    return check_range(key, property, n, "a whole number");
  }
  if (t == "number") {
    std::optional<double> n = number_value(value);
    if (!n || !std::isfinite(*n))
      return fail(quoted(key) + " must be a number");
    return check_range(key, property, *n, "a number");
  }
  if (t == "boolean") {
    if (!value.as_bool())
      return fail(quoted(key) + " must be true or false");
    return {};
  }
  if (t == "object") {
    if (!value.as_object())
      return fail(quoted(key) + " must be an object");
    return {};
  }
  if (t == "array") {
    auto items = value.as_array();
    if (!items)
      return fail(quoted(key) + " must be an array");
    const JsonValue* item_schema = property.find("items");
    if (!item_schema)
      return {};
    for (size_t i = 0; i < items->size(); ++i) {
      auto r =
          check_value(std::string(key) + "[" + std::to_string(i) + "]", *item_schema, (*items)[i]);
      if (!r.ok())
        return r;
    }
    return {};
  }
  return {};  // untyped: anything goes
}

// Whole numbers read as 100, not 100.0, in what the apps show.
JsonValue tidy_numbers(const JsonValue& v) {
  if (const double* d = v.as_double()) {
    if (*d == std::floor(*d) && std::fabs(*d) < 1e15)
      return JsonValue(static_cast<long long>(*d));
  } else if (auto a = v.as_array()) {
    JsonArray tidy;
    for (const JsonValue& item : *a)
      tidy.push_back(tidy_numbers(item));
    return tidy;
  } else if (auto o = v.as_object()) {
    JsonObject tidy;
    for (const auto& [key, member] : *o)
      tidy.set(key, tidy_numbers(member));
    return tidy;
  }
  return v;
}

JsonValue list_page(const AppDefinition& app, size_t start) {
  size_t end = app.tools.size();
  if (app.page_size > 0 && start + app.page_size < end)
    end = start + app.page_size;
  JsonArray tools;
  for (size_t i = start; i < end; ++i) {
    tools.push_back(tool_definition(app.tools[i].info, app.tools[i].schema));
  }
  JsonObject result{{"tools", std::move(tools)}};
  if (end < app.tools.size())
    result.set("nextCursor", "page-" + std::to_string(end));
  return result;
}

JsonValue initialize_result(const AppDefinition& app, const JsonValue& params) {
  std::string version = DEFAULT_PROTOCOL_VERSION;
  if (const JsonValue* asked = params.find("protocolVersion"); asked && asked->as_string()) {
    for (const char* known : PROTOCOL_VERSIONS) {
      if (*asked->as_string() == known)
        version = known;
    }
  }
  return JsonObject{
      {"capabilities", JsonObject{{"tools", JsonObject{{"listChanged", true}}}}},
      {"instructions", app.instructions},
      {"protocolVersion", version},
      {"serverInfo", JsonObject{{"name", app.id}, {"title", app.title}, {"version", app.version}}}};
}

JsonValue call_tool(AppDefinition& app, const JsonValue& id, const JsonValue& params) {
  const JsonValue* name = params.find("name");
  if (!name || !name->as_string()) {
    return error_response(id, INVALID_PARAMS, "`name` must be a string");
  }
  for (Tool& tool : app.tools) {
    if (tool.info.name != *name->as_string())
      continue;
    auto args = check_arguments(tool.schema, params.find("arguments"));
    if (!args.ok())
      return result_response(id, text_result(args.error(), /*is_error=*/true));
    // Copy the handler: it may replace the tool list it lives in.
    ToolHandler run = tool.run;
    ToolOutput out = run(*args);
    if (!out.ok())
      return result_response(id, text_result(out.error(), /*is_error=*/true));
    auto text = out->as_string();
    if (text)
      return result_response(id, text_result(std::string(*text), false));
    return result_response(id, text_result(render_pretty(tidy_numbers(*out)), false));
  }
  return error_response(id, INVALID_PARAMS, "unknown tool: " + std::string(*name->as_string()));
}

JsonValue handle_request(AppDefinition& app, const JsonValue& id, const std::string& method,
                         const JsonValue& params) {
  if (method == "initialize")
    return result_response(id, initialize_result(app, params));
  if (method == "ping")
    return result_response(id, JsonObject{});
  if (method == "tools/list") {
    size_t start = 0;
    if (const JsonValue* cursor = params.find("cursor"); cursor && !cursor->is_null()) {
      auto text = cursor->as_string();
      std::string_view digits = text ? std::string_view(*text) : std::string_view();
      bool ok = digits.substr(0, 5) == "page-";
      if (ok) {
        digits.remove_prefix(5);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), start);
        ok = ec == std::errc() && end == digits.data() + digits.size() && start > 0 &&
             start < app.tools.size();
      }
      if (!ok)
        return error_response(id, INVALID_PARAMS, "invalid cursor");
    }
    return result_response(id, list_page(app, start));
  }
  if (method == "tools/call") {
    if (!params.as_object())
      return error_response(id, INVALID_PARAMS, "`params` must be an object");
    return call_tool(app, id, params);
  }
  return error_response(id, METHOD_NOT_FOUND, "method not found: " + method);
}

}  // namespace

bool Args::has(std::string_view key) const {
  const JsonValue* v = values_.find(key);
  return v && !v->is_null();
}

std::string Args::string(std::string_view key, std::string_view fallback) const {
  const JsonValue* v = values_.find(key);
  return std::string(v && v->as_string() ? *v->as_string() : fallback);
}

long long Args::integer(std::string_view key, long long fallback) const {
  const JsonValue* v = values_.find(key);
  if (!v)
    return fallback;
  if (const uint64_t* u = v->as_unsigned())
    return static_cast<long long>(*u);
  if (const int64_t* s = v->as_signed())
    return *s;
  return fallback;
}

double Args::number(std::string_view key, double fallback) const {
  const JsonValue* v = values_.find(key);
  return v ? number_value(*v).value_or(fallback) : fallback;
}

bool Args::boolean(std::string_view key, bool fallback) const {
  const JsonValue* v = values_.find(key);
  return v && v->as_bool() ? *v->as_bool() : fallback;
}

Result<JsonValue> parse_schema(const ToolInfo& info) {
  auto schema = parse_json(info.input_schema);
  if (!schema.ok())
    return fail(std::string(info.name) + ": schema: " + schema.error());
  return schema;
}

Result<Args> check_arguments(const JsonValue& schema, const JsonValue* arguments) {
  JsonObject given;
  if (arguments && !arguments->is_null()) {
    if (!arguments->as_object())
      return fail("the arguments must be an object");
    given = JsonObject(*arguments->as_object());
  }
  const JsonValue* properties = schema.find("properties");
  if (const JsonValue* required = schema.find("required"); required && required->as_array()) {
    for (const JsonValue& key : *required->as_array()) {
      auto k = key.as_string();
      if (k && (!given.find(*k) || given.find(*k)->is_null())) {
        return fail(quoted(*k) + " is required");
      }
    }
  }
  for (const auto& [key, value] : given) {
    const JsonValue* property = properties ? properties->find(key) : nullptr;
    if (!property)
      return fail("unknown argument " + quoted(key));
    if (value.is_null())
      continue;  // null stands for "not given"
    auto r = check_value(key, *property, value);
    if (!r.ok())
      return r.failure();
  }
  if (properties && properties->as_object()) {
    for (const auto& [key, property] : *properties->as_object()) {
      const JsonValue* given_value = given.find(key);
      if (given_value && !given_value->is_null())
        continue;
      if (const JsonValue* fallback = property.find("default")) {
        given.set(key, *fallback);
      } else if (given_value) {
        given.erase(key);
      }
    }
  }
  return Args(std::move(given));
}

JsonValue tool_definition(const ToolInfo& info, const JsonValue& schema) {
  bool read_only = info.hints & READ_ONLY;
  JsonObject annotations{{"openWorldHint", false}, {"readOnlyHint", read_only}};
  if (!read_only) {
    annotations.set("destructiveHint", static_cast<bool>(info.hints & DESTRUCTIVE));
    annotations.set("idempotentHint", static_cast<bool>(info.hints & IDEMPOTENT));
  }
  return JsonObject{{"annotations", std::move(annotations)},
                    {"description", info.description},
                    {"inputSchema", schema},
                    {"name", info.name},
                    {"title", info.title}};
}

std::vector<JsonValue> handle_message(AppDefinition& app, const JsonValue& message) {
  std::vector<JsonValue> out;
  if (!message.as_object()) {
    out.push_back(error_response(nullptr, INVALID_REQUEST, "invalid request"));
    return out;
  }
  const JsonValue* method = message.find("method");
  const JsonValue* id = message.find("id");
  if (!method)
    return out;  // a response to something we never ask: nothing to do
  if (!method->as_string()) {
    if (id)
      out.push_back(error_response(*id, INVALID_REQUEST, "`method` must be a string"));
    return out;
  }
  if (!id)
    return out;  // notifications, notifications/initialized included, need no answer
  static const JsonValue NO_PARAMS = JsonObject{};
  const JsonValue* params = message.find("params");
  out.push_back(
      handle_request(app, *id, std::string(*method->as_string()), params ? *params : NO_PARAMS));
  if (app.tools_changed) {
    app.tools_changed = false;
    out.push_back(JsonObject{{"jsonrpc", "2.0"}, {"method", "notifications/tools/list_changed"}});
  }
  return out;
}

Result<void> serve(AppDefinition& app, int in_fd, int out_fd) {
  std::string pending;
  bool skipping = false;  // inside an over-long line, dropping bytes up to its end
  char buffer[65536];
  auto send = [&](const JsonValue& v) -> Result<void> {
    std::string line = render_compact(v);
    line += '\n';
    return write_all(out_fd, line.data(), line.size());
  };
  auto handle_line = [&](std::string_view line) -> Result<void> {
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos)
      return {};
    auto message = parse_json(line);
    if (!message.ok())
      return send(error_response(nullptr, PARSE_ERROR, "parse error: " + message.error()));
    for (const JsonValue& reply : handle_message(app, *message)) {
      auto r = send(reply);
      if (!r.ok())
        return r;
    }
    return {};
  };
  for (;;) {
    ssize_t n = read_retry(in_fd, buffer, sizeof buffer);
    if (n < 0)
      return fail("reading standard input failed: " + os_error_text(errno));
    if (n == 0)
      break;
    std::string_view chunk(buffer, static_cast<size_t>(n));
    while (!chunk.empty()) {
      size_t newline = chunk.find('\n');
      std::string_view part = chunk.substr(0, newline);
      if (!skipping)
        pending.append(part);
      if (pending.size() > MAX_LINE_BYTES) {
        pending.clear();
        if (!skipping) {
          skipping = true;
          auto r = send(error_response(nullptr, PARSE_ERROR, "message too large"));
          if (!r.ok())
            return fail("writing standard output failed: " + r.error());
        }
      }
      if (newline == std::string_view::npos)
        break;
      chunk.remove_prefix(newline + 1);
      if (skipping) {
        skipping = false;
        continue;
      }
      std::string line = std::move(pending);
      pending.clear();
      auto r = handle_line(line);
      if (!r.ok())
        return fail("writing standard output failed: " + r.error());
    }
  }
  if (!skipping && !pending.empty()) {
    auto r = handle_line(pending);
    if (!r.ok())
      return fail("writing standard output failed: " + r.error());
  }
  return {};
}

}  // namespace brask::sample
