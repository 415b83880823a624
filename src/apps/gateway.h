// gateway.h: `Gateway`, the state every request thread shares: the registry's apps
// and warnings, one `AppSlot` per app with its connection and cached tool list, and
// the two replaceable callables (app starter, agents check). Built once on the main
// thread before serving; request threads use it concurrently through the functions
// below; its destruction, after every request thread has ended, stops every server.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "apps/child/app_entry.h"
#include "apps/child/channel.h"
#include "apps/search/scoring.h"
#include "base/mutex.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

// One tool as the app listed it: an object whose "name" is a string, kept whole.
using AppTool = JsonValue;
// An app's tools in listing order, with their texts prepared for searching (once, since
// the tools never change). Shared and never changed once built: holders keep their
// reference valid however the slot changes.
class ToolCatalogue {
 public:
  explicit ToolCatalogue(std::vector<AppTool> tools)
      : tools_(std::move(tools)), search_texts_(tools_) {}

  size_t size() const { return tools_.size(); }
  const AppTool& operator[](size_t index) const { return tools_[index]; }
  std::vector<AppTool>::const_iterator begin() const { return tools_.begin(); }
  std::vector<AppTool>::const_iterator end() const { return tools_.end(); }
  const SearchTexts& search_texts() const { return search_texts_; }

 private:
  std::vector<AppTool> tools_;
  SearchTexts search_texts_;  // of `tools_`, built after it
};

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
  // Starts finished on this slot, counted under the connection lock and read before
  // waiting for it: a request that waited while a start ran takes that start's outcome
  // instead of starting again.
  std::atomic<uint64_t> starts_finished{0};
  std::optional<std::string> last_start_failure GUARDED_BY(connection_mutex);  // none: it started
};

// A look at one slot that never waits for it (for listings).
struct SlotSnapshot {
  bool busy = false;                 // another request holds the connection lock
  bool started = false;              // a connection without `ended`; a busy slot counts as started
  std::optional<size_t> tool_count;  // present while a catalogue is held
};

// What `use_app` runs with the connection lock held: the live connection and the
// catalogue listed over it. The references are valid only during the call.
using AppOperation = std::function<Result<JsonValue>(
    AppConnection& connection, const std::shared_ptr<const ToolCatalogue>& catalogue)>;

// Whether AI agents may use the apps now; called from request threads. A failure is the
// gateway's own trouble reading the switch, never a reason to stop an app.
using AgentsCheck = std::function<Result<bool>()>;

namespace testing {
class GatewayPeer;
}

class Gateway {
 public:
  // One empty slot per app. `agents_enabled` answers true unless given.
  Gateway(std::vector<AppEntry> apps, std::vector<std::string> warnings,
          AppStarter start_app = default_app_starter(), AgentsCheck agents_enabled = {});
  // Stops every app server still running, in slot order. No request may be running.
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // The starter of spawn.h with the standard handshake time-out.
  static AppStarter default_app_starter();

  const std::vector<AppEntry>& apps() const { return apps_; }  // registry order
  const std::vector<std::string>& warnings() const { return warnings_; }
  Result<bool> agents_enabled() const {
    return agents_enabled_ ? agents_enabled_() : Result<bool>(true);
  }

  // The app's tools: the cached catalogue at once when there is one (a long call on
  // the app does not delay this), otherwise through `use_app`, which starts the app if
  // needed and lists its tools. Failures: "no such app", the agents-off message, the
  // start and listing failures of the child layer.
  Result<std::shared_ptr<const ToolCatalogue>> app_tools(size_t index);
  // The catalogue `app_tools` would answer at once, or null when it would have to list
  // the tools; never waits for the app. `index` must be below the number of apps.
  std::shared_ptr<const ToolCatalogue> held_tools(size_t index);

  // Takes the app's connection lock (waiting as long as another user holds it), makes
  // sure a live connection and a catalogue exist (starting the app and listing its
  // tools as needed), runs `operation`, and returns its outcome. While agents are off
  // it disconnects the app and fails with the agents-off message without running the
  // operation; if they turn off during the operation, the app is stopped afterwards and
  // the outcome is returned all the same. A failed check fails with its text and stops
  // nothing. Failures as for `app_tools`.
  Result<JsonValue> use_app(size_t index, const AppOperation& operation);

  // Asks every slot to disconnect. A slot in use is only marked; its user stops the
  // app on releasing it if agents are still off. Never waits for a slot in use.
  void stop_all_apps();

  // Tries the connection lock (running the pending-stop check after), then reads the
  // catalogue. `index` must be below the number of apps.
  SlotSnapshot look_at_slot(size_t index);

 private:
  friend class testing::GatewayPeer;

  // With the connection lock held: refuses while agents are off (stopping the app), else
  // makes sure of a live connection (starting the app, unless a start that ended since
  // `starts_seen` failed: then that failure) and of its catalogue (listing the tools)
  // and answers the catalogue.
  Result<std::shared_ptr<const ToolCatalogue>> open_locked(AppSlot& slot, const AppEntry& entry,
                                                           uint64_t starts_seen)
      REQUIRES(slot.connection_mutex);
  // True only when the switch reads as off; a check that failed stops nothing.
  bool agents_off() const;
  // With the connection lock held, after using the app: stops it if agents went off.
  void close_locked(AppSlot& slot) REQUIRES(slot.connection_mutex);
  // Run after releasing a slot's connection lock: performs a stop marked meanwhile, if
  // the lock is free and agents are off.
  void check_pending_stop(AppSlot& slot);

  const std::vector<AppEntry> apps_;
  const std::vector<std::string> warnings_;  // registry warnings, in order
  std::vector<AppSlot> slots_;               // one per app, same order; never resized
  const AppStarter start_app_;               // called with the slot's connection lock held
  const AgentsCheck agents_enabled_;         // empty: always on
};

// Stops the slot's server (killed and reaped) and drops its connection and catalogue.
void disconnect_locked(AppSlot& slot) REQUIRES(slot.connection_mutex);

}  // namespace brask
