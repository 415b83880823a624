#include "json/parse.h"

#include "json/scanner.h"

namespace brask {

Result<JsonValue> parse_json(std::string_view text) {
  JsonScanner scanner(text);
  Result<JsonValue> value = scanner.parse_value(/*open=*/0);
  if (!value.ok())
    return value;
  if (Result<void> end = scanner.finish(); !end.ok())
    return end.failure();
  return value;
}

}  // namespace brask
