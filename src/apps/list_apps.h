// list_apps.h: the listing behind "brask_list_apps": every app of the registry with the
// state of its server, and the registry's warnings. Only reports: starts no server, reads
// no tool list, and never waits for an app in use. Called from request threads.
#pragma once

#include "apps/gateway.h"
#include "json/json.h"

namespace brask {

// {"apps":[{"app","busy"?,"name","started","tools"?},...],"notes"?:[...]} in registry
// order. "busy" (always true) while another request holds the app's slot, which then
// counts as started; "tools" while a catalogue is held; "notes" only when there are
// warnings. Runs the pending-stop check on every slot it could look into. Never fails.
JsonValue list_apps(Gateway& gateway);

}  // namespace brask
