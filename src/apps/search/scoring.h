// scoring.h: how well one app tool matches a search query, its one-line summary, and
// the ordering and cut of the hits. Pure computation on strings and tool objects (the
// JSON object an app listed); gathering the tools of the apps is left to the caller.
// Safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

namespace brask {

inline constexpr size_t MAX_QUERY_WORDS = 16;     // words of a query that count
inline constexpr size_t MAX_MATCH_CHARS = 2000;   // code points of each tool text matched
inline constexpr size_t MAX_SUMMARY_CHARS = 160;  // code points of a summary, "…" included
inline constexpr uint64_t MAX_FIND_LIMIT = 50;    // most hits of one search

struct ToolHit {
  std::string app;      // app id
  std::string tool;     // the tool's "name"
  std::string summary;  // one_line_summary of the tool, possibly empty
  uint32_t score;       // at least 1
};

// The query's runs of alphanumeric characters, each lower-cased, in order, repeats
// kept, at most MAX_QUERY_WORDS. No letters or digits: no words.
std::vector<std::string> query_words(std::string_view query);

// Points of `tool` ("name", "title", "description"; missing or non-string members
// count as empty) for `words`: per word 3 for a whole word of name or title, 2 for a
// run inside the name or a word of name or title beginning with it, 1 for a word of
// the description beginning with it. 1 when `words` is empty; 0 means no match. Only
// the first MAX_QUERY_WORDS words count.
uint32_t score_tool(const std::vector<std::string>& words, const JsonValue& tool);

// The description (or, when that is not a string, the title) up to and including its
// first line feed or full stop, trimmed of White_Space, cut to MAX_SUMMARY_CHARS with "…".
std::string one_line_summary(const JsonValue& tool);

// `hits` ordered by score, highest first, ties in their given order, cut to `limit`
// bounded to 1..MAX_FIND_LIMIT.
std::vector<ToolHit> rank_hits(std::vector<ToolHit> hits, uint64_t limit);

}  // namespace brask
