#include "support/slots.h"

#include <memory>
#include <utility>

#include "base/mutex.h"

namespace brask::testing {

AppEntry missing_app(std::string id) {
  return AppEntry{id, id, "/nonexistent/" + id, {"mcp"}};
}

JsonValue tool_entry(std::string name, std::string description) {
  JsonObject tool{{"name", std::move(name)}};
  if (!description.empty())
    tool.set("description", std::move(description));
  return tool;
}

void hold_catalogue(Gateway& gateway, size_t index, std::vector<JsonValue> tools) {
  AppSlot& slot = GatewayPeer::slot(gateway, index);
  MutexLock lock(slot.catalogue_mutex);
  slot.catalogue = std::make_shared<const ToolCatalogue>(std::move(tools));
}

AppStarter failing_starter(std::atomic<int>* starts) {
  return [starts](const AppEntry& entry) -> Result<AppConnection> {
    ++*starts;
    return fail("could not start " + entry.name + ": no server here");
  };
}

}  // namespace brask::testing
