// scoring.h: how well one app tool matches a search query, its one-line summary, and
// the ordering and cut of the hits. Pure computation on strings and tool objects (the
// JSON object an app listed); gathering the tools of the apps is left to the caller.
// Safe from any thread.
#pragma once

#include <cstddef>
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

struct MatchPiece;

// What score_tool reads of each tool of a list, prepared once: name, title and description
// cut, lower-cased and split into words, packed into two buffers. Kept beside a list of
// tools that never changes, so that each search only compares. Never changed once built.
class SearchTexts {
 public:
  explicit SearchTexts(const std::vector<JsonValue>& tools);

  // score_tool(words, tool) for each of the tools it was built from, in their order.
  std::vector<uint32_t> score_all(const std::vector<std::string>& words) const;

 private:
  // One tool's three texts, back to back from `text` in `texts_`, their word starts from
  // `starts` in `starts_`; the ends are counted from those.
  struct Tool {
    size_t text = 0;
    size_t starts = 0;
    uint32_t text_ends[3] = {};
    uint32_t starts_ends[3] = {};
    uint64_t first_bytes[3] = {};
  };
  MatchPiece piece(const Tool& tool, size_t k) const;

  std::string texts_;
  std::vector<uint32_t> starts_;
  std::vector<Tool> tools_;
};

// The description (or, when that is not a string, the title) up to and including its
// first line feed or full stop, trimmed of White_Space, cut to MAX_SUMMARY_CHARS with "…".
std::string one_line_summary(const JsonValue& tool);

// `hits` ordered by score, highest first, ties in their given order, cut to `limit`
// bounded to 1..MAX_FIND_LIMIT.
std::vector<ToolHit> rank_hits(std::vector<ToolHit> hits, uint64_t limit);

// The same ranking of hits given by their scores alone: the positions in `scores` of the
// hits rank_hits keeps, in its order.
std::vector<size_t> rank_scores(const std::vector<uint32_t>& scores, uint64_t limit);

}  // namespace brask
