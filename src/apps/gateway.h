// gateway.h: `Gateway`, the state every request thread shares: the registry's apps
// and warnings, one `AppSlot` per app with its connection and cached tool list, and
// the two replaceable callables (app starter, agents check). Built once on the main
// thread before serving; request threads use it concurrently through the functions
// below; its destruction, after every request thread has ended, stops every server.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/child/app_entry.h"
#include "apps/child/channel.h"
#include "base/mutex.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

// One tool as the app listed it: an object whose "name" is a string, kept whole.
using AppTool = JsonValue;
// An app's tools in listing order. Shared and never changed once built: holders keep
// their reference valid however the slot changes.
using ToolCatalogue = std::vector<AppTool>;

// Starts one app's server and hands back a ready connection, or the failure text.
using AppStarter = std::function<Result<AppConnection>(const AppEntry&)>;

// Per-app bookkeeping. Lock order: `connection_mutex` before `catalogue_mutex`.
struct AppSlot {
  // Held for whole operations on the app: a start with its handshake, a listing,
  // a tool call up to its time-out. Taken first.
  Mutex connection_mutex ACQUIRED_BEFORE(catalogue_mutex);
  Mutex catalogue_mutex;  // held only to read or swap `catalogue`, never across a wait
  std::shared_ptr<const ToolCatalogue> catalogue GUARDED_BY(catalogue_mutex);  // null: none
  std::optional<AppConnection> connection GUARDED_BY(connection_mutex);
  // A stop asked for while the connection lock was taken. Any thread sets it; the
  // thread that next holds the lock clears it.
  std::atomic<bool> stop_pending{false};
};

struct Gateway {
  // One empty slot per app; `agents_enabled` answers true until start-up installs the
  // real check.
  Gateway(std::vector<AppEntry> apps, std::vector<std::string> warnings,
          AppStarter start_app = default_app_starter());
  // Stops every app server still running, in slot order. No request may be running.
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // The starter of spawn.h with the standard handshake time-out.
  static AppStarter default_app_starter();

  std::vector<AppEntry> apps;         // registry order; an app is addressed by its index
  std::vector<std::string> warnings;  // registry warnings, in order
  std::vector<AppSlot> slots;         // one per app, same order; never resized
  AppStarter start_app;               // called with the slot's connection lock held
  // Whether AI agents may use the apps now; called from request threads.
  std::function<bool()> agents_enabled;
};

// The app's tools: the cached catalogue at once when there is one (a long call on
// the app does not delay this), otherwise through `use_app`, which starts the app if
// needed and lists its tools. Failures: "no such app", the agents-off message, the
// start and listing failures of the child layer. Any request thread.
Result<std::shared_ptr<const ToolCatalogue>> app_tools(Gateway& gateway, size_t index);

// What `use_app` runs with the connection lock held: the live connection and the
// catalogue listed over it. The references are valid only during the call.
using AppOperation = std::function<Result<JsonValue>(
    AppConnection& connection, const std::shared_ptr<const ToolCatalogue>& catalogue)>;

// Takes the app's connection lock (waiting as long as another user holds it), makes
// sure a live connection and a catalogue exist (starting the app and listing its
// tools as needed), runs `operation`, and returns its outcome. While agents are off
// it disconnects the app and fails with the agents-off message without running the
// operation; if they turn off during the operation, the app is stopped afterwards and
// the outcome is returned all the same. Failures as for `app_tools`.
Result<JsonValue> use_app(Gateway& gateway, size_t index, const AppOperation& operation);

// Stops the slot's server (killed and reaped) and drops its connection and catalogue.
void disconnect(AppSlot& slot) REQUIRES(slot.connection_mutex);

// Asks every slot to disconnect. A slot in use is only marked; its user stops the
// app on releasing it if agents are still off. Never waits for a slot in use.
void stop_all_apps(Gateway& gateway);

// Run after releasing a slot's connection lock: performs a stop marked meanwhile, if
// the lock is free and agents are off.
void check_pending_stop(Gateway& gateway, AppSlot& slot);

// A look at one slot that never waits for it (for listings).
struct SlotSnapshot {
  bool busy = false;     // another request holds the connection lock
  bool started = false;  // a connection without `ended`; a busy slot counts as started
  std::optional<size_t> tool_count;  // present while a catalogue is held
};
// Tries the connection lock (running the pending-stop check after), then reads the
// catalogue. `index` must be below the number of slots.
SlotSnapshot look_at_slot(Gateway& gateway, size_t index);

}  // namespace brask
