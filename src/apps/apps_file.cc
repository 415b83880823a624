#include "apps/apps_file.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "json/render.h"
#include "json/scanner.h"
#include "text/text.h"

namespace brask {
namespace {

struct RawEntry {
  std::string id;
  std::string command;
  std::string name;                              // empty when missing
  std::optional<std::vector<std::string>> args;  // nullopt when missing or null
};

struct RawAppsFile {
  uint32_t version = 0;
  std::vector<RawEntry> apps;
};

// Reads the two records straight from the text, so a fault names the line and column
// where reading stopped: a wrong type at the value met, a missing field at the closing
// brace, a repeated field at its key's closing quote.
class RecordReader {
 public:
  explicit RecordReader(std::string_view text) : s_(text) {}

  Result<RawAppsFile> read_file() {
    if (s_.skip_whitespace() != '{')
      return invalid_type("struct AppsFile");
    RawAppsFile file;
    bool has_version = false;
    bool has_apps = false;
    Result<void> read = s_.read_object([&](std::string_view key) -> Result<void> {
      if (key == "version") {
        if (auto dup = claim(&has_version, "version"); !dup.ok())
          return dup;
        auto version = read_u32();
        if (!version.ok())
          return version.failure();
        file.version = *version;
        return {};
      }
      if (key == "apps") {
        if (auto dup = claim(&has_apps, "apps"); !dup.ok())
          return dup;
        return read_entries(&file.apps);
      }
      return s_.skip_member();
    });
    if (!read.ok())
      return read.failure();
    if (!has_version)
      return missing("version");
    if (auto end = s_.finish(); !end.ok())
      return end.failure();
    return file;
  }

 private:
  // A known key met: fails when it was met before, else consumes the colon after it.
  Result<void> claim(bool* seen, std::string_view field) {
    if (*seen)
      return s_.fault("duplicate field `" + std::string(field) + "`", s_.offset());
    *seen = true;
    return s_.scan_colon();
  }

  Failure missing(std::string_view field) const {
    return s_.fault("missing field `" + std::string(field) + "`", s_.offset());
  }

  // The value at the next byte is not of the `expected` type. Scalars are read whole and
  // reported at their last byte; a container is reported before its opening bracket.
  Failure invalid_type(std::string_view expected) {
    std::string found;
    switch (const int next = s_.skip_whitespace()) {
      case '[':
        found = "sequence";
        break;
      case '{':
        found = "map";
        break;
      case '"': {
        auto text = s_.scan_string();
        if (!text.ok())
          return text.failure();
        found = "string \"" + escape_debug(*text) + "\"";
        break;
      }
      case 't':
      case 'f':
      case 'n': {
        auto literal = s_.scan_literal();
        if (!literal.ok())
          return literal.failure();
        const bool* b = literal->as_bool();
        found = b == nullptr ? "null" : *b ? "boolean `true`" : "boolean `false`";
        break;
      }
      default: {
        if (!is_json_number_start(next))
          return s_.expect_value_fault();
        auto number = s_.scan_number();
        if (!number.ok())
          return number.failure();
        found = describe_number(*number);
      }
    }
    return s_.fault("invalid type: " + found + ", expected " + std::string(expected), s_.offset());
  }

  static std::string describe_number(const JsonValue& number) {
    if (const uint64_t* u = number.as_unsigned())
      return "integer `" + std::to_string(*u) + "`";
    if (const int64_t* i = number.as_signed())
      return "integer `" + std::to_string(*i) + "`";
    return "floating point `" + format_double(*number.as_double()) + "`";
  }

  Result<uint32_t> read_u32() {
    if (!is_json_number_start(s_.skip_whitespace()))
      return invalid_type("u32");
    auto number = s_.scan_number();
    if (!number.ok())
      return number.failure();
    const uint64_t* u = number->as_unsigned();
    if (u != nullptr && *u <= UINT32_MAX)
      return static_cast<uint32_t>(*u);
    if (number->as_double() != nullptr) {
      return s_.fault("invalid type: " + describe_number(*number) + ", expected u32", s_.offset());
    }
    return s_.fault("invalid value: " + describe_number(*number) + ", expected u32", s_.offset());
  }

  Result<std::string> read_string(std::string_view expected) {
    if (s_.skip_whitespace() != '"')
      return invalid_type(expected);
    return s_.scan_string();
  }

  Result<void> read_entries(std::vector<RawEntry>* entries) {
    if (s_.skip_whitespace() != '[')
      return invalid_type("a sequence");
    entries->clear();
    return s_.read_array([&]() -> Result<void> {
      auto entry = read_entry();
      if (!entry.ok())
        return entry.failure();
      entries->push_back(std::move(entry).take());
      return {};
    });
  }

  Result<RawEntry> read_entry() {
    if (s_.skip_whitespace() != '{')
      return invalid_type("struct RawEntry");
    RawEntry entry;
    bool has_id = false;
    bool has_command = false;
    bool has_name = false;
    bool has_args = false;
    Result<void> read = s_.read_object([&](std::string_view key) -> Result<void> {
      if (key == "id")
        return read_field(&has_id, "id", "a string", &entry.id);
      if (key == "command")
        return read_field(&has_command, "command", "path string", &entry.command);
      if (key == "name")
        return read_field(&has_name, "name", "a string", &entry.name);
      if (key == "args") {
        if (auto dup = claim(&has_args, "args"); !dup.ok())
          return dup;
        return read_args(&entry.args);
      }
      return s_.skip_member();
    });
    if (!read.ok())
      return read.failure();
    if (!has_id)
      return missing("id");
    if (!has_command)
      return missing("command");
    return entry;
  }

  Result<void> read_field(bool* seen, std::string_view field, std::string_view expected,
                          std::string* out) {
    if (auto colon = claim(seen, field); !colon.ok())
      return colon;
    auto text = read_string(expected);
    if (!text.ok())
      return text.failure();
    *out = std::move(text).take();
    return {};
  }

  // Null or an array of strings.
  Result<void> read_args(std::optional<std::vector<std::string>>* out) {
    int next = s_.skip_whitespace();
    if (next == 'n') {
      auto literal = s_.scan_literal();
      if (!literal.ok())
        return literal.failure();
      out->reset();
      return {};
    }
    if (next != '[')
      return invalid_type("a sequence");
    std::vector<std::string> args;
    Result<void> read = s_.read_array([&]() -> Result<void> {
      auto arg = read_string("a string");
      if (!arg.ok())
        return arg.failure();
      args.push_back(std::move(arg).take());
      return {};
    });
    if (!read.ok())
      return read;
    *out = std::move(args);
    return {};
  }

  JsonScanner s_;
};

bool is_valid_id(std::string_view id) {
  if (id.empty() || id.size() > MAX_APP_ID_LEN)
    return false;
  for (char c : id) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
  }
  return true;
}

std::string display_name(const RawEntry& entry) {
  std::string_view trimmed = trim_white_space(entry.name);
  if (!trimmed.empty())
    return std::string(trimmed);
  for (const KnownApp& known : KNOWN_APPS) {
    if (known.id == entry.id)
      return std::string(known.name);
  }
  return entry.id;
}

AppRegistry validate(std::vector<RawEntry> entries) {
  AppRegistry registry;
  for (size_t i = 0; i < entries.size(); ++i) {
    RawEntry& entry = entries[i];
    const std::string& id = entry.id;
    if (!is_valid_id(id)) {
      registry.warnings.push_back("`" + escape_debug(id) + "`: not a valid app id");
      continue;
    }
    bool listed = false;
    for (const AppEntry& app : registry.apps)
      listed = listed || app.id == id;
    if (listed) {
      registry.warnings.push_back("`" + id + "`: listed twice");
      continue;
    }
    if (entry.command.empty() || entry.command.front() != '/') {
      registry.warnings.push_back("`" + id + "`: command is not an absolute path");
      continue;
    }
    std::vector<std::string> args;
    if (entry.args) {
      args = std::move(*entry.args);
    } else {
      args.assign(std::begin(DEFAULT_APP_ARGS), std::end(DEFAULT_APP_ARGS));
    }
    if (args.size() > MAX_APP_ARGS) {
      registry.warnings.push_back("`" + id + "`: more than " + std::to_string(MAX_APP_ARGS) +
                                  " arguments");
      continue;
    }
    std::string name = display_name(entry);
    registry.apps.push_back(
        AppEntry{std::move(entry.id), std::move(name), std::move(entry.command), std::move(args)});
    if (registry.apps.size() == MAX_APPS && i + 1 < entries.size()) {
      registry.warnings.push_back("more than " + std::to_string(MAX_APPS) +
                                  " apps; the rest are left out");
      break;
    }
  }
  return registry;
}

}  // namespace

Result<AppRegistry> parse_apps_file(std::string_view bytes) {
  auto file = RecordReader(bytes).read_file();
  if (!file.ok())
    return fail("apps.json does not parse: " + file.error());
  if (file->version != APPS_FILE_VERSION) {
    return fail("apps.json has version " + std::to_string(file->version) + ", this reads version " +
                std::to_string(APPS_FILE_VERSION));
  }
  return validate(std::move(file->apps));
}

}  // namespace brask
