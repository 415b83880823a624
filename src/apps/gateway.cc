#include "apps/gateway.h"

#include <utility>

#include "apps/child/client.h"
#include "apps/child/spawn.h"
#include "apps/child/tools.h"
#include "apps/registry.h"

namespace brask {
namespace {

void drop_catalogue(AppSlot& slot) {
  std::shared_ptr<const ToolCatalogue> dropped;
  {
    MutexLock lock(slot.catalogue_mutex);
    dropped = std::move(slot.catalogue);
  }
  // The last reference, if this is it, is freed outside the lock.
}

std::shared_ptr<const ToolCatalogue> read_catalogue(AppSlot& slot) {
  MutexLock lock(slot.catalogue_mutex);
  return slot.catalogue;
}

// `use_app` once the connection lock is held.
Result<JsonValue> use_app_locked(Gateway& gateway, AppSlot& slot, const AppEntry& entry,
                                 const AppOperation& operation) REQUIRES(slot.connection_mutex) {
  if (!gateway.agents_enabled()) {
    disconnect(slot);
    return fail(std::string(AGENTS_OFF_MESSAGE));
  }
  if (slot.connection && poll(*slot.connection)) drop_catalogue(slot);
  if (!slot.connection || slot.connection->ended) {
    disconnect(slot);
    Result<AppConnection> started = gateway.start_app(entry);
    if (!started.ok()) return started.failure();
    slot.connection.emplace(std::move(started).take());
  }
  std::shared_ptr<const ToolCatalogue> catalogue = read_catalogue(slot);
  if (!catalogue) {
    Result<std::vector<JsonValue>> listed = list_tools(*slot.connection);
    if (!listed.ok()) return listed.failure();
    catalogue = std::make_shared<const ToolCatalogue>(std::move(listed).take());
    MutexLock lock(slot.catalogue_mutex);
    slot.catalogue = catalogue;
  }
  Result<JsonValue> result = operation(*slot.connection, catalogue);
  if (!gateway.agents_enabled()) disconnect(slot);
  return result;
}

}  // namespace

Gateway::Gateway(std::vector<AppEntry> apps, std::vector<std::string> warnings,
                 AppStarter start_app)
    : apps(std::move(apps)),
      warnings(std::move(warnings)),
      slots(this->apps.size()),
      start_app(std::move(start_app)),
      agents_enabled([] { return true; }) {}

Gateway::~Gateway() {
  for (AppSlot& slot : slots) {
    MutexLock lock(slot.connection_mutex);
    disconnect(slot);
  }
}

AppStarter Gateway::default_app_starter() {
  return [](const AppEntry& entry) { return ::brask::start_app(entry); };
}

Result<std::shared_ptr<const ToolCatalogue>> app_tools(Gateway& gateway, size_t index) {
  if (index >= gateway.slots.size()) return fail("no such app");
  AppSlot& slot = gateway.slots[index];
  // Only tried: a long call on the app must not delay serving its cached tools.
  if (slot.connection_mutex.try_lock()) {
    if (slot.connection && (poll(*slot.connection) || slot.connection->ended)) {
      drop_catalogue(slot);
    }
    slot.connection_mutex.unlock();
    check_pending_stop(gateway, slot);
  }
  if (std::shared_ptr<const ToolCatalogue> cached = read_catalogue(slot)) return cached;
  std::shared_ptr<const ToolCatalogue> used;
  Result<JsonValue> done =
      use_app(gateway, index,
              [&used](AppConnection&, const std::shared_ptr<const ToolCatalogue>& catalogue) {
                used = catalogue;
                return Result<JsonValue>(JsonValue());
              });
  if (!done.ok()) return done.failure();
  return used;
}

Result<JsonValue> use_app(Gateway& gateway, size_t index, const AppOperation& operation) {
  if (index >= gateway.apps.size() || index >= gateway.slots.size()) return fail("no such app");
  AppSlot& slot = gateway.slots[index];
  Result<JsonValue> result = fail("");
  {
    MutexLock lock(slot.connection_mutex);
    result = use_app_locked(gateway, slot, gateway.apps[index], operation);
  }
  check_pending_stop(gateway, slot);
  return result;
}

void disconnect(AppSlot& slot) {
  if (slot.connection) {
    // Disposal kills and reaps the server before the queues go.
    slot.connection.reset();
  }
  drop_catalogue(slot);
}

void stop_all_apps(Gateway& gateway) {
  for (AppSlot& slot : gateway.slots) {
    slot.stop_pending = true;
    if (slot.connection_mutex.try_lock()) {
      disconnect(slot);
      slot.stop_pending = false;
      slot.connection_mutex.unlock();
    }
  }
}

void check_pending_stop(Gateway& gateway, AppSlot& slot) {
  if (!slot.stop_pending) return;
  if (!slot.connection_mutex.try_lock()) return;  // the holder checks when it lets go
  slot.stop_pending = false;
  // Asked again: agents turned back on meanwhile keep the app running.
  if (!gateway.agents_enabled()) disconnect(slot);
  slot.connection_mutex.unlock();
}

SlotSnapshot look_at_slot(Gateway& gateway, size_t index) {
  AppSlot& slot = gateway.slots[index];
  SlotSnapshot snapshot;
  if (slot.connection_mutex.try_lock()) {
    snapshot.started = slot.connection && !slot.connection->ended;
    slot.connection_mutex.unlock();
    check_pending_stop(gateway, slot);
  } else {
    snapshot.busy = true;
    snapshot.started = true;
  }
  if (std::shared_ptr<const ToolCatalogue> catalogue = read_catalogue(slot)) {
    snapshot.tool_count = catalogue->size();
  }
  return snapshot;
}

}  // namespace brask
