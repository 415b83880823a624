// parse.h: JSON text to `JsonValue` under the gateway's exact rules (RFC 8259;
// UTF-8 validated; depth budget 128). Pure; safe from any thread.
#pragma once

#include <string_view>

#include "base/result.h"
#include "json/json.h"

namespace brask {

inline constexpr int MAX_JSON_DEPTH = 128;

// One JSON value, whitespace allowed around it. Failure text:
// "{fault} at line {L} column {C}", e.g. "EOF while parsing an object at line 2 column 0".
Result<JsonValue> parse_json(std::string_view text);

}  // namespace brask
