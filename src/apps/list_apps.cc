#include "apps/list_apps.h"

#include <algorithm>
#include <cstddef>
#include <string>

namespace brask {

JsonValue list_apps(Gateway& gateway) {
  JsonArray apps;
  const size_t count = gateway.apps().size();
  apps.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const AppEntry& entry = gateway.apps()[i];
    const SlotSnapshot snapshot = gateway.look_at_slot(i);
    JsonObject app{{"app", entry.id}, {"name", entry.name}, {"started", snapshot.started}};
    if (snapshot.busy)
      app.set("busy", true);
    if (snapshot.tool_count)
      app.set("tools", static_cast<uint64_t>(*snapshot.tool_count));
    apps.push_back(std::move(app));
  }
  JsonObject listing{{"apps", std::move(apps)}};
  if (!gateway.warnings().empty()) {
    JsonArray notes(gateway.warnings().begin(), gateway.warnings().end());
    listing.set("notes", std::move(notes));
  }
  return listing;
}

}  // namespace brask
