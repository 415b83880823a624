// find_tools.h: the search behind "brask_find_tools": reads the tool lists of one app or
// of every app (held catalogues on the calling thread, the apps that must list their tools
// in parallel, one worker thread each, all joined before returning), scores and ranks the
// tools, and reports the apps that could not be read. Called from request threads; keeps
// nothing between searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "apps/gateway.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

inline constexpr uint64_t DEFAULT_FIND_LIMIT = 20;
inline constexpr size_t MAX_HINT_TOOLS = 50;  // command tools named in one hint

// {"hint"?,"tools":[{"app","summary","tool"},...],"unavailable"?:[{"app","error"},...]}.
// "tools" holds the best hits, at most `limit` bounded to 1..MAX_FIND_LIMIT. "hint" appears only
// when no tool matched and some read tool's name contains "command". "unavailable"
// appears only when all apps were searched and some could not be read. Failures: with
// `app`, find_app's message or that app's own failure text, unchanged; "reading the
// app's tools failed" for a worker that gave no outcome; "could not start a search
// thread: {error}" when the system refuses a worker.
Result<JsonValue> find_tools(Gateway& gateway, std::string_view query,
                             std::optional<std::string_view> app, uint64_t limit);

}  // namespace brask
