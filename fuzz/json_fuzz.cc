// JSON layer: parsing never crashes; skipping a value fails exactly where parsing does;
// whatever parses renders (compact and pretty) to text that reads back as the same value;
// copies out of the document, and objects rebuilt member by member, equal the original
// once it is gone; and a number read as a double equals the correctly rounded reading of
// its text.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

#include "json/parse.h"
#include "json/render.h"
#include "json/scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brask;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = parse_json(text);
  JsonScanner scanner(text);
  Result<void> skipped = scanner.skip_value();
  if (skipped.ok())
    skipped = scanner.finish();
  if (skipped.ok() != value.ok())
    std::abort();
  if (!value.ok()) {
    if (skipped.error() != value.error())
      std::abort();
    return 0;
  }
  // The compact form is the one-line wire form, and a fixed point of parse and render.
  const std::string line = render_compact(*value);
  if (line.find('\n') != std::string_view::npos)
    std::abort();
  auto compact = parse_json(line);
  if (!compact.ok() || !(*compact == *value) || render_compact(*compact) != line)
    std::abort();
  auto pretty = parse_json(render_pretty(*value));
  if (!pretty.ok() || !(*pretty == *value))
    std::abort();
  {
    auto again = parse_json(text);
    JsonValue copy = *again;
    JsonValue rebuilt;
    if (auto members = again->as_object())
      rebuilt = JsonObject(*members);
    else if (auto elements = again->as_array())
      rebuilt = JsonArray(elements->begin(), elements->end());
    again = JsonValue();  // the source document goes first
    if (!(copy == *value) || (!rebuilt.is_null() && !(rebuilt == *value)))
      std::abort();
  }
  if (const double* d = value->as_double()) {
    size_t first = text.find_first_not_of(" \t\r\n");
    size_t last = text.find_last_not_of(" \t\r\n");
    double want = 0;
    auto result = std::from_chars(text.data() + first, text.data() + last + 1, want);
    if (result.ec == std::errc() && !(want == *d))
      std::abort();
  }
  return 0;
}
