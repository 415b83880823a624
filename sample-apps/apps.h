// apps.h: the sample apps this program can serve, each an image editor, word processor
// or spreadsheet over a small in-memory document, plus helpers their handlers share.
// Each factory fills in `app` (the app keeps a pointer to it to change its tool list).
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "server.h"

namespace brask::sample {

Result<void> make_lumeno(AppDefinition* app);
Result<void> make_scribola(AppDefinition* app);
Result<void> make_tabulo(AppDefinition* app);

// A number as people write it: 4, 2.5, 0.25 (at most six significant digits).
std::string number_text(double value);
// ASCII lower-casing, enough for the names in the samples.
std::string lower(std::string_view text);

}  // namespace brask::sample
