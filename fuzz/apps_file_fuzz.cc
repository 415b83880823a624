// Apps-file reader: never crashes, refuses every text the JSON parser refuses, and
// whatever it accepts keeps the registry's invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "apps/apps_file.h"
#include "json/parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brask;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto registry = parse_apps_file(text);
  if (!registry.ok())
    return 0;
  if (!parse_json(text).ok())
    std::abort();
  if (registry->apps.size() > MAX_APPS)
    std::abort();
  for (size_t i = 0; i < registry->apps.size(); ++i) {
    const AppEntry& app = registry->apps[i];
    if (app.id.empty() || app.id.size() > MAX_APP_ID_LEN || app.name.empty() ||
        app.command.empty() || app.command[0] != '/' || app.args.size() > MAX_APP_ARGS) {
      std::abort();
    }
    for (size_t j = 0; j < i; ++j) {
      if (registry->apps[j].id == app.id)
        std::abort();
    }
  }
  return 0;
}
