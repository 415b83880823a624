// Tool scoring: the fast path agrees with a literal, slow reading of the rules on any
// query and any tool texts (split from the input at 0xFF bytes, made valid UTF-8).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "apps/search/scoring.h"
#include "json/json.h"
#include "text/text.h"

namespace {

using namespace brask;

uint32_t reference_score(const std::vector<std::string>& words, std::string_view name,
                         std::string_view title, std::string_view description) {
  if (words.empty())
    return 1;
  const std::string n = to_lower(first_chars(name, MAX_MATCH_CHARS));
  const std::string t = to_lower(first_chars(title, MAX_MATCH_CHARS));
  const std::string d = to_lower(first_chars(description, MAX_MATCH_CHARS));
  const std::string nt = n + " " + t;
  const auto nt_words = split_words(nt);
  const auto d_words = split_words(d);
  uint32_t score = 0;
  for (const std::string& w : words) {
    auto begins = [&](std::string_view word) { return word.substr(0, w.size()) == w; };
    bool equal = false, begins_nt = false, begins_d = false;
    for (auto word : nt_words) {
      equal = equal || word == w;
      begins_nt = begins_nt || begins(word);
    }
    for (auto word : d_words)
      begins_d = begins_d || begins(word);
    if (equal) {
      score += 3;
    } else if (n.find(w) != std::string::npos || begins_nt) {
      score += 2;
    } else if (begins_d) {
      score += 1;
    }
  }
  return score;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string parts[4];
  size_t part = 0;
  for (char c : input) {
    if (static_cast<unsigned char>(c) == 0xFF && part < 3) {
      ++part;
    } else {
      parts[part] += c;
    }
  }
  for (std::string& p : parts)
    p = lossy_utf8(p);
  const std::vector<std::string> words = query_words(parts[0]);
  JsonValue tool(JsonObject{{"name", JsonValue(parts[1])},
                            {"title", JsonValue(parts[2])},
                            {"description", JsonValue(parts[3])}});
  if (score_tool(words, tool) != reference_score(words, parts[1], parts[2], parts[3])) {
    std::abort();
  }
  one_line_summary(tool);
  return 0;
}
