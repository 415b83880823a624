// render.h: `JsonValue` to text. The compact form is the wire form (no whitespace,
// keys in byte order, numbers in the gateway's form); the pretty form indents by two
// spaces and has no final line feed. Rendering cannot fail.
#pragma once

#include <string>

#include "json/json.h"

namespace brask {

// Appends the compact form to `*out`.
void render_compact(const JsonValue& value, std::string* out);
std::string render_compact(const JsonValue& value);

std::string render_pretty(const JsonValue& value);

// A double in the gateway's number form: 1.0, -0.0, 1e+16, 1.5e-7; NaN and
// infinities as null.
void append_double(double value, std::string* out);
std::string format_double(double value);

}  // namespace brask
