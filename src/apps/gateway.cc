#include "apps/gateway.h"

#include <utility>

#include "apps/child/client.h"
#include "apps/child/live_children.h"
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

}  // namespace

Gateway::Gateway(std::vector<AppEntry> apps, std::vector<std::string> warnings,
                 AppStarter start_app, AgentsCheck agents_enabled)
    : apps_(std::move(apps)),
      warnings_(std::move(warnings)),
      slots_(apps_.size()),
      start_app_(std::move(start_app)),
      agents_enabled_(std::move(agents_enabled)) {}

Gateway::~Gateway() {
  for (AppSlot& slot : slots_) {
    MutexLock lock(slot.connection_mutex);
    disconnect_locked(slot);
  }
}

AppStarter Gateway::default_app_starter() {
  return [](const AppEntry& entry) { return ::brask::start_app(entry); };
}

bool Gateway::agents_off() const {
  Result<bool> enabled = agents_enabled();
  return enabled.ok() && !*enabled;
}

Result<std::shared_ptr<const ToolCatalogue>> Gateway::open_locked(AppSlot& slot,
                                                                  const AppEntry& entry,
                                                                  uint64_t starts_seen) {
  Result<bool> enabled = agents_enabled();
  if (!enabled.ok())
    return enabled.failure();
  if (!*enabled) {
    disconnect_locked(slot);
    return fail(std::string(AGENTS_OFF_MESSAGE));
  }
  if (slot.connection && poll(*slot.connection))
    drop_catalogue(slot);
  if (!slot.connection || slot.connection->ended) {
    // A start that failed while this request waited is its answer too: an app that never
    // answers must not hold every waiter for a handshake time-out each.
    if (slot.starts_finished.load() != starts_seen && slot.last_start_failure)
      return fail(*slot.last_start_failure);
    disconnect_locked(slot);
    Result<AppConnection> started = start_app_(entry);
    slot.last_start_failure.reset();
    if (!started.ok())
      slot.last_start_failure = started.error();
    slot.starts_finished.fetch_add(1);
    if (!started.ok())
      return started.failure();
    slot.connection.emplace(std::move(started).take());
  }
  if (std::shared_ptr<const ToolCatalogue> cached = read_catalogue(slot))
    return cached;
  Result<std::vector<JsonValue>> listed = list_tools(*slot.connection);
  if (!listed.ok())
    return listed.failure();
  auto catalogue = std::make_shared<const ToolCatalogue>(std::move(listed).take());
  MutexLock lock(slot.catalogue_mutex);
  slot.catalogue = catalogue;
  return catalogue;
}

void Gateway::close_locked(AppSlot& slot) {
  if (agents_off())
    disconnect_locked(slot);
}

std::shared_ptr<const ToolCatalogue> Gateway::held_tools(size_t index) {
  AppSlot& slot = slots_[index];
  bool looked = false;
  {
    // Only tried: a long call on the app must not delay serving its cached tools.
    MutexTryLock lock(slot.connection_mutex);
    if (lock.try_lock()) {
      looked = true;
      if (slot.connection && (poll(*slot.connection) || slot.connection->ended)) {
        drop_catalogue(slot);
      }
    }
  }
  if (looked)
    check_pending_stop(slot);
  return read_catalogue(slot);
}

Result<std::shared_ptr<const ToolCatalogue>> Gateway::app_tools(size_t index) {
  if (index >= slots_.size())
    return fail("no such app");
  if (std::shared_ptr<const ToolCatalogue> cached = held_tools(index))
    return cached;
  AppSlot& slot = slots_[index];
  const uint64_t starts_seen = slot.starts_finished.load();
  Result<std::shared_ptr<const ToolCatalogue>> listed = [&] {
    MutexLock lock(slot.connection_mutex);
    Result<std::shared_ptr<const ToolCatalogue>> catalogue =
        open_locked(slot, apps_[index], starts_seen);
    if (catalogue.ok())
      close_locked(slot);
    return catalogue;
  }();
  check_pending_stop(slot);
  return listed;
}

Result<JsonValue> Gateway::use_app(size_t index, const AppOperation& operation) {
  if (index >= slots_.size())
    return fail("no such app");
  AppSlot& slot = slots_[index];
  const uint64_t starts_seen = slot.starts_finished.load();
  Result<JsonValue> result = [&]() -> Result<JsonValue> {
    MutexLock lock(slot.connection_mutex);
    Result<std::shared_ptr<const ToolCatalogue>> catalogue =
        open_locked(slot, apps_[index], starts_seen);
    if (!catalogue.ok())
      return catalogue.failure();
    Result<JsonValue> outcome = operation(*slot.connection, *catalogue);
    close_locked(slot);
    return outcome;
  }();
  check_pending_stop(slot);
  return result;
}

void disconnect_locked(AppSlot& slot) {
  if (slot.connection) {
    // Disposal kills and reaps the server before the queues go.
    slot.connection.reset();
  }
  drop_catalogue(slot);
}

void Gateway::stop_all_apps() {
  for (AppSlot& slot : slots_) {
    slot.stop_pending = true;
    MutexTryLock lock(slot.connection_mutex);
    if (lock.try_lock()) {
      disconnect_locked(slot);
      slot.stop_pending = false;
    }
  }
  // Once no app may run, what their servers left running goes too.
  stop_adopted_orphans();
}

void Gateway::check_pending_stop(AppSlot& slot) {
  if (!slot.stop_pending)
    return;
  MutexTryLock lock(slot.connection_mutex);
  if (!lock.try_lock())
    return;  // the holder checks when it lets go
  slot.stop_pending = false;
  // Asked again: agents turned back on meanwhile keep the app running.
  if (agents_off())
    disconnect_locked(slot);
}

SlotSnapshot Gateway::look_at_slot(size_t index) {
  AppSlot& slot = slots_[index];
  SlotSnapshot snapshot;
  {
    MutexTryLock lock(slot.connection_mutex);
    if (lock.try_lock()) {
      snapshot.started = slot.connection && !slot.connection->ended;
    } else {
      snapshot.busy = true;
      snapshot.started = true;
    }
  }
  if (!snapshot.busy)
    check_pending_stop(slot);
  if (std::shared_ptr<const ToolCatalogue> catalogue = read_catalogue(slot)) {
    snapshot.tool_count = catalogue->size();
  }
  return snapshot;
}

}  // namespace brask
