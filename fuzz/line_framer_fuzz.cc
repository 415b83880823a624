// The app channel's line framing: whatever byte chunks the stream arrives in, the
// events are exactly those of reading the whole stream at once, split at "\n", blank
// lines and lines that are not JSON skipped unless an answer's id can be read in them,
// a last line without "\n" delivered at the end. The first input byte seeds the chunk sizes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/child/channel.h"
#include "json/json.h"
#include "json/parse.h"

namespace {

using namespace brask;

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\f\r") == std::string_view::npos;
}

// A message, or the id of a line that does not parse (marked by `invalid`).
struct Seen {
  bool invalid;
  JsonValue value;
  bool operator==(const Seen& other) const {
    return invalid == other.invalid && value == other.value;
  }
};

std::vector<Seen> reference_events(std::string_view stream) {
  std::vector<Seen> out;
  while (!stream.empty()) {
    size_t end = stream.find('\n');
    std::string_view line = stream.substr(0, end);
    stream = end == std::string_view::npos ? std::string_view() : stream.substr(end + 1);
    if (blank(line))
      continue;
    auto parsed = parse_json(line);
    if (parsed.ok())
      out.push_back({false, std::move(*parsed)});
    else if (std::optional<uint64_t> id = find_answer_id(line))
      out.push_back({true, JsonValue(*id)});
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  uint32_t seed = data[0] * 2654435761u + 1;
  std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::vector<Seen> got;
  auto sink = [&](AppEvent&& event) {
    if (event.kind != AppEvent::Kind::Message && event.kind != AppEvent::Kind::Invalid)
      std::abort();  // no line here is too long
    got.push_back({event.kind == AppEvent::Kind::Invalid, std::move(event.message)});
    return true;
  };
  LineFramer framer;
  size_t at = 0;
  while (at < stream.size()) {
    seed = seed * 1103515245u + 12345u;
    size_t chunk = 1 + (seed >> 16) % 64;
    if (chunk > stream.size() - at)
      chunk = stream.size() - at;
    if (!framer.feed(stream.data() + at, chunk, sink))
      std::abort();
    at += chunk;
  }
  if (!framer.finish(sink))
    std::abort();

  const std::vector<Seen> want = reference_events(stream);
  if (got.size() != want.size())
    std::abort();
  for (size_t i = 0; i < got.size(); ++i)
    if (!(got[i] == want[i]))
      std::abort();
  return 0;
}
