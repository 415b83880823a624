#include "apps/search/scoring.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>

#include "base/bytes.h"
#include "text/text.h"

namespace brask {
namespace {

std::string_view string_member(const JsonValue& tool, std::string_view key) {
  const JsonValue* member = tool.find(key);
  auto text = member ? member->as_string() : nullptr;
  return text ? *text : std::string_view();
}

constexpr bool is_ascii_alphanumeric(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
}

constexpr auto ASCII_ALPHANUMERIC = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 128; ++b) {
    table[b] = is_ascii_alphanumeric(static_cast<unsigned char>(b));
  }
  return table;
}();

constexpr uint64_t HIGH_BITS = BYTE_HIGH_BITS;

// A tool text cut to MAX_MATCH_CHARS code points and lower-cased, with the byte offsets
// where its words begin, so that a query word is tried only at word starts and only
// when some word starts with its first byte. Tool texts are nearly always ASCII: that
// is lowered and split eight bytes per step into buffers on the stack, so the common
// case allocates nothing; other text takes the full Unicode mapping.
class MatchText {
 public:
  explicit MatchText(std::string_view text) {
    const size_t n = std::min(text.size(), MAX_MATCH_CHARS);
    if (all_ascii(text.substr(0, n))) {
      lower_and_split_ascii(text.data(), n);
      view_ = std::string_view(ascii_, n);
      starts_ = small_;
    } else {
      other_ = to_lower(first_chars(text, MAX_MATCH_CHARS));
      view_ = other_;
      split_other();
      starts_ = large_.data();
    }
  }
  MatchText(const MatchText&) = delete;
  MatchText& operator=(const MatchText&) = delete;

  std::string_view view() const { return view_; }
  const uint32_t* begin() const { return starts_; }
  const uint32_t* end() const { return starts_ + count_; }
  bool some_word_starts_with(unsigned char b) const {
    return (first_bytes_[b >> 6] >> (b & 63)) & 1;
  }

 private:
  static bool all_ascii(std::string_view text) {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      uint64_t chunk;
      std::memcpy(&chunk, text.data() + i, 8);
      high |= chunk;
    }
    for (; i < text.size(); ++i) {
      high |= static_cast<unsigned char>(text[i]);
    }
    return (high & HIGH_BITS) == 0;
  }

  void lower_and_split_ascii(const char* in, size_t n) {
    // Bit 7 of byte k marks an alphanumeric byte; a word starts where one follows a
    // byte that is not (`previous` carries the last byte of the step before).
    uint64_t previous = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t x;
      std::memcpy(&x, in + i, 8);
      x = lower_ascii8(x);
      std::memcpy(ascii_ + i, &x, 8);
      const uint64_t alphanumeric = bytes_in_range(x, 'a', 'z') | bytes_in_range(x, '0', '9');
      for (uint64_t starts = alphanumeric & ~((alphanumeric << 8) | previous); starts != 0;
           starts &= starts - 1) {
        add_ascii_start(i + static_cast<size_t>(std::countr_zero(starts)) / 8);
      }
      previous = alphanumeric >> 56;
    }
    bool in_word = previous != 0;
    for (; i < n; ++i) {
      const unsigned char b = static_cast<unsigned char>(in[i]);
      ascii_[i] = static_cast<char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
      const bool alphanumeric = ASCII_ALPHANUMERIC[b];
      if (alphanumeric && !in_word) {
        add_ascii_start(i);
      }
      in_word = alphanumeric;
    }
  }

  void add_ascii_start(size_t at) {
    small_[count_++] = static_cast<uint32_t>(at);
    const unsigned char b = static_cast<unsigned char>(ascii_[at]);
    first_bytes_[b >> 6] |= uint64_t{1} << (b & 63);
  }

  void split_other() {
    bool in_word = false;
    for (size_t pos = 0; pos < view_.size();) {
      const size_t at = pos;
      const bool alphanumeric = is_alphanumeric(decode_utf8(view_, &pos));
      if (alphanumeric && !in_word) {
        large_.push_back(static_cast<uint32_t>(at));
        const unsigned char b = static_cast<unsigned char>(view_[at]);
        first_bytes_[b >> 6] |= uint64_t{1} << (b & 63);
      }
      in_word = alphanumeric;
    }
    count_ = large_.size();
  }

  char ascii_[MAX_MATCH_CHARS];
  uint32_t small_[MAX_MATCH_CHARS / 2 + 1];  // ASCII words are separated by a byte
  std::string other_;
  std::vector<uint32_t> large_;
  std::string_view view_;
  const uint32_t* starts_ = nullptr;
  size_t count_ = 0;
  uint64_t first_bytes_[4] = {};
};

// Whether the character starting at byte `pos` of valid UTF-8 `text` is alphanumeric.
bool alphanumeric_at(std::string_view text, size_t pos) {
  if (pos >= text.size())
    return false;
  unsigned char b = static_cast<unsigned char>(text[pos]);
  if (b < 0x80)
    return is_ascii_alphanumeric(b);
  return is_alphanumeric(decode_utf8(text, &pos));
}

// How the non-empty `w` occurs in a text: as a whole word, at the start of a word, or
// not at the start of any word.
enum class WordHit { None, Begins, Whole };

WordHit find_at_word_start(const MatchText& text, std::string_view w) {
  if (!text.some_word_starts_with(static_cast<unsigned char>(w[0]))) {
    return WordHit::None;
  }
  const std::string_view t = text.view();
  WordHit hit = WordHit::None;
  for (const uint32_t p : text) {
    if (t[p] != w[0] || t.size() - p < w.size()) {
      continue;
    }
    if (std::memcmp(t.data() + p + 1, w.data() + 1, w.size() - 1) != 0) {
      continue;
    }
    if (!alphanumeric_at(t, p + w.size())) {
      return WordHit::Whole;
    }
    hit = WordHit::Begins;
  }
  return hit;
}

bool all_alphanumeric(std::string_view w) {
  for (size_t pos = 0; pos < w.size();) {
    unsigned char b = static_cast<unsigned char>(w[pos]);
    if (b < 0x80) {
      if (!is_ascii_alphanumeric(b))
        return false;
      ++pos;
    } else if (!is_alphanumeric(decode_utf8(w, &pos))) {
      return false;
    }
  }
  return true;
}

// Calls `visit` on each maximal run of alphanumeric characters until it answers false.
template <class Visit>
void for_each_word(std::string_view text, Visit visit) {
  constexpr size_t NONE = std::string_view::npos;
  size_t start = NONE;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t at = pos;
    unsigned char b = static_cast<unsigned char>(text[pos]);
    bool alphanumeric;
    if (b < 0x80) {
      alphanumeric = is_ascii_alphanumeric(b);
      ++pos;
    } else {
      alphanumeric = is_alphanumeric(decode_utf8(text, &pos));
    }
    if (alphanumeric) {
      if (start == NONE)
        start = at;
    } else if (start != NONE) {
      if (!visit(text.substr(start, at - start)))
        return;
      start = NONE;
    }
  }
  if (start != NONE)
    visit(text.substr(start));
}

}  // namespace

std::vector<std::string> query_words(std::string_view query) {
  std::vector<std::string> words;
  for_each_word(query, [&](std::string_view piece) {
    words.push_back(to_lower(piece));
    return words.size() < MAX_QUERY_WORDS;
  });
  return words;
}

uint32_t score_tool(const std::vector<std::string>& words, const JsonValue& tool) {
  if (words.empty())
    return 1;
  MatchText name(string_member(tool, "name"));
  MatchText title(string_member(tool, "title"));
  // The description is prepared only when some word is still without points.
  std::optional<MatchText> description;
  uint32_t score = 0;
  for (size_t i = 0; i < words.size() && i < MAX_QUERY_WORDS; ++i) {
    const std::string& w = words[i];
    if (w.empty())
      continue;
    // Words hold only alphanumerics, so a word with anything else can match only as a
    // run inside the name.
    const bool wordlike = all_alphanumeric(w);
    WordHit hit = WordHit::None;
    if (wordlike) {
      hit = find_at_word_start(name, w);
      if (hit != WordHit::Whole)
        hit = std::max(hit, find_at_word_start(title, w));
    }
    if (hit == WordHit::Whole) {
      score += 3;
    } else if (hit == WordHit::Begins || name.view().find(w) != std::string_view::npos) {
      score += 2;
    } else if (wordlike) {
      if (!description)
        description.emplace(string_member(tool, "description"));
      if (find_at_word_start(*description, w) != WordHit::None)
        score += 1;
    }
  }
  return score;
}

std::string one_line_summary(const JsonValue& tool) {
  std::string_view source;
  const JsonValue* description = tool.find("description");
  const JsonValue* title = tool.find("title");
  if (description && description->as_string()) {
    source = *description->as_string();
  } else if (title && title->as_string()) {
    source = *title->as_string();
  }
  // A plain loop: find_first_of calls memchr on its set once per byte.
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '\n' || source[i] == '.') {
      source = source.substr(0, i + 1);
      break;
    }
  }
  source = trim_white_space(source);
  if (count_chars(source) <= MAX_SUMMARY_CHARS)
    return std::string(source);
  std::string summary(first_chars(source, MAX_SUMMARY_CHARS - 1));
  summary += "\u2026";
  return summary;
}

std::vector<ToolHit> rank_hits(std::vector<ToolHit> hits, uint64_t limit) {
  limit = std::clamp<uint64_t>(limit, 1, MAX_FIND_LIMIT);
  std::stable_sort(hits.begin(), hits.end(),
                   [](const ToolHit& a, const ToolHit& b) { return a.score > b.score; });
  if (hits.size() > limit)
    hits.erase(hits.begin() + static_cast<ptrdiff_t>(limit), hits.end());
  return hits;
}

}  // namespace brask
