// Scoring and summaries on arbitrary tool objects: the input is a query, a 0xFF byte,
// then any JSON value as the tool (members of any type, not only strings). Nothing
// crashes; a summary is valid UTF-8 on one line, at most MAX_SUMMARY_CHARS code
// points; ranking keeps the order rules and the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "apps/search/scoring.h"
#include "json/json.h"
#include "json/parse.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brask;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\xff');
  std::string_view query = input.substr(0, cut);
  std::string_view tool_text = cut == std::string_view::npos ? "{}" : input.substr(cut + 1);
  auto tool = parse_json(tool_text);
  if (!tool.ok())
    return 0;

  const std::vector<std::string> words = query_words(lossy_utf8(query));
  if (words.size() > MAX_QUERY_WORDS)
    std::abort();
  for (const std::string& word : words)
    if (word.empty())
      std::abort();
  const uint32_t score = score_tool(words, *tool);
  if (words.empty() && score != 1)
    std::abort();
  if (score > 3 * MAX_QUERY_WORDS)
    std::abort();

  const std::string summary = one_line_summary(*tool);
  if (lossy_utf8(summary) != summary)
    std::abort();
  if (summary.find('\n') != std::string::npos)
    std::abort();
  size_t chars = 0;
  for (unsigned char c : summary)
    chars += (c & 0xC0) != 0x80;
  if (chars > MAX_SUMMARY_CHARS)
    std::abort();

  // Rank a handful of hits derived from the input: order by score, ties stable.
  std::vector<ToolHit> hits;
  for (size_t i = 0; i < size % 80; ++i)
    hits.push_back(
        {"app", std::to_string(i), summary, 1 + static_cast<uint32_t>(data[i % size] % 4)});
  const uint64_t limit = size == 0 ? 0 : data[0];
  const std::vector<ToolHit> ranked = rank_hits(hits, limit);
  const uint64_t bounded = limit < 1 ? 1 : (limit > MAX_FIND_LIMIT ? MAX_FIND_LIMIT : limit);
  if (ranked.size() != std::min<uint64_t>(hits.size(), bounded))
    std::abort();
  for (size_t i = 1; i < ranked.size(); ++i) {
    if (ranked[i - 1].score < ranked[i].score)
      std::abort();
    if (ranked[i - 1].score == ranked[i].score &&
        std::stoul(ranked[i - 1].tool) > std::stoul(ranked[i].tool))
      std::abort();
  }
  return 0;
}
