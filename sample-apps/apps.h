// apps.h: the sample apps this program can serve, each an image editor, word processor
// or spreadsheet over a small in-memory document, plus helpers their handlers share.
// Each factory fills in `app` (the app keeps a pointer to it to change its tool list).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "server.h"

namespace brask::sample {

Result<void> make_lumeno(AppDefinition* app);
Result<void> make_scribola(AppDefinition* app);
Result<void> make_tabulo(AppDefinition* app);

// A number as people write it: 4, 2.5, 0.25 (at most six significant digits).
std::string number_text(double value);
// ASCII lower- and upper-casing, enough for the names in the samples.
std::string lower(std::string_view text);
std::string upper(std::string_view text);

// Undo steps every app keeps; their undo tools' descriptions name the number.
constexpr size_t MAX_UNDO = 50;

// Keeps a copy of `current` as the newest undo step, forgetting the oldest beyond MAX_UNDO.
// Only `undo` changes, so references into `current` stay valid.
template <class T>
void remember(std::vector<T>& undo, const T& current) {
  undo.push_back(current);
  if (undo.size() > MAX_UNDO)
    undo.erase(undo.begin());
}

// What every undo tool does: brings back up to `steps` steps, newest first. Fails with
// "there is nothing to undo" when there is none.
template <class T>
ToolOutput undo_steps(std::vector<T>& undo, T& current, long long steps) {
  long long done = 0;
  for (; done < steps && !undo.empty(); ++done) {
    current = std::move(undo.back());
    undo.pop_back();
  }
  if (done == 0)
    return fail("there is nothing to undo");
  return JsonValue("Undid " + std::to_string(done) + (done == 1 ? " step." : " steps."));
}

}  // namespace brask::sample
