// slots.h: setting up a `Gateway`'s slots without app servers, for tests of the gateway
// tools: catalogues placed as if listed, and app starters that fail or wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "apps/gateway.h"
#include "json/json.h"

namespace brask::testing {

// An app entry whose command does not exist.
AppEntry missing_app(std::string id);

// {"description":description,"name":name} (no description when it is empty).
JsonValue tool_entry(std::string name, std::string description = "");

// Puts `tools` into slot `index` as the cached catalogue.
void hold_catalogue(Gateway& gateway, size_t index, std::vector<JsonValue> tools);

// The slots a `Gateway` keeps to itself, for tests that set up one slot's state.
class GatewayPeer {
 public:
  static AppSlot& slot(Gateway& gateway, size_t index) { return gateway.slots_[index]; }
};

// A starter that counts its calls in `*starts` and fails with
// "could not start {name}: no server here".
AppStarter failing_starter(std::atomic<int>* starts);

}  // namespace brask::testing
