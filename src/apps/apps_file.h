// apps_file.h: the bytes of apps.json to the validated `AppRegistry`. Reads the records
// straight from the text so every fault names where parsing stopped; finding and
// reading the file is left to registry.h. Pure; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "apps/child/app_entry.h"
#include "base/result.h"

namespace brask {

inline constexpr uint32_t APPS_FILE_VERSION = 1;  // the only version read
inline constexpr size_t MAX_APPS = 64;
inline constexpr size_t MAX_APP_ID_LEN = 40;  // bytes
inline constexpr size_t MAX_APP_ARGS = 32;
// Arguments of an entry that gives none (or null).
inline constexpr std::string_view DEFAULT_APP_ARGS[] = {"mcp"};

struct KnownApp {
  std::string_view id;
  std::string_view name;
};
// Display names of the family's own apps, used when an entry names none.
inline constexpr KnownApp KNOWN_APPS[] = {
    {"lumeno", "Lumeno"},   {"kinetta", "Kinetta"},
    {"sparvo", "Sparvo"},   {"glimra", "Glimra"},
    {"formalo", "Formalo"}, {"nodrix", "Nodrix"},
    {"tomarel", "Tomarel"}, {"scribola", "Scribola"},
    {"slidana", "Slidana"}, {"tabulo", "Tabulo"},
    {"mekano", "Mekano"},   {"audelo", "Audelo"},
    {"shapyx", "Shapyx"},   {"brask-anything", "Brask Anything"},
};

struct AppRegistry {
  std::vector<AppEntry> apps;         // 0 to MAX_APPS, in file order, ids unique
  std::vector<std::string> warnings;  // why entries were left out, in order
};

// The registry described by `bytes`. Entries that are well-formed but unacceptable are
// left out with a warning. The whole file is refused with
// "apps.json does not parse: {fault} at line {L} column {C}" for a syntax, shape or type
// fault, or "apps.json has version {version}, this reads version 1".
Result<AppRegistry> parse_apps_file(std::string_view bytes);

}  // namespace brask
