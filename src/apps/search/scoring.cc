#include "apps/search/scoring.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <utility>

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

// A byte's bit in a 64-bit set of the bytes that begin words: digits and lower-case letters
// each have their own, other bytes (UTF-8 lead bytes) share the rest. A shared bit only
// makes a word be tried where it cannot match.
constexpr auto FIRST_BYTE_BIT = [] {
  std::array<uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    if (b >= '0' && b <= '9')
      table[b] = static_cast<uint8_t>(b - '0');
    else if (b >= 'a' && b <= 'z')
      table[b] = static_cast<uint8_t>(10 + b - 'a');
    else
      table[b] = static_cast<uint8_t>(36 + b % 28);
  }
  return table;
}();

constexpr uint64_t first_byte_bit(unsigned char b) {
  return uint64_t{1} << FIRST_BYTE_BIT[b];
}

}  // namespace

// One prepared text: cut to MAX_MATCH_CHARS and lower-cased, the byte offsets where its
// words begin, and the set of their first bytes (first_byte_bit).
struct MatchPiece {
  std::string_view text;
  const uint32_t* begin;
  const uint32_t* end;
  uint64_t first_bytes;
};

namespace {

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

  MatchPiece piece() const { return MatchPiece{view_, starts_, starts_ + count_, first_bytes_}; }

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
    first_bytes_ |= first_byte_bit(static_cast<unsigned char>(ascii_[at]));
  }

  void split_other() {
    bool in_word = false;
    for (size_t pos = 0; pos < view_.size();) {
      const size_t at = pos;
      const bool alphanumeric = is_alphanumeric(decode_utf8(view_, &pos));
      if (alphanumeric && !in_word) {
        large_.push_back(static_cast<uint32_t>(at));
        first_bytes_ |= first_byte_bit(static_cast<unsigned char>(view_[at]));
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
  uint64_t first_bytes_ = 0;
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

WordHit find_at_word_start(const MatchPiece& text, std::string_view w) {
  if ((text.first_bytes & first_byte_bit(static_cast<unsigned char>(w[0]))) == 0) {
    return WordHit::None;
  }
  const std::string_view t = text.text;
  WordHit hit = WordHit::None;
  for (const uint32_t* at = text.begin; at != text.end; ++at) {
    const uint32_t p = *at;
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

// The words that count, each with whether it is all alphanumeric, worked out once per
// scoring. Words hold only alphanumerics, so a word with anything else can match only as
// a run inside the name.
class QueryWords {
 public:
  explicit QueryWords(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size() && i < MAX_QUERY_WORDS; ++i) {
      if (words[i].empty())
        continue;
      words_[count_++] = Word{words[i], all_alphanumeric(words[i])};
    }
  }

  struct Word {
    std::string_view text;
    bool wordlike;
  };
  const Word* begin() const { return words_; }
  const Word* end() const { return words_ + count_; }

 private:
  Word words_[MAX_QUERY_WORDS];
  size_t count_ = 0;
};

// score_tool's points for the non-empty `query` over prepared texts; `description()`
// gives the description's piece, asked for only when some word is still without points.
template <class Description>
uint32_t score_pieces(const QueryWords& query, const MatchPiece& name, const MatchPiece& title,
                      Description description) {
  std::optional<MatchPiece> described;
  uint32_t score = 0;
  for (const QueryWords::Word& word : query) {
    const std::string_view w = word.text;
    WordHit hit = WordHit::None;
    if (word.wordlike) {
      hit = find_at_word_start(name, w);
      if (hit != WordHit::Whole)
        hit = std::max(hit, find_at_word_start(title, w));
    }
    if (hit == WordHit::Whole) {
      score += 3;
    } else if (hit == WordHit::Begins || name.text.find(w) != std::string_view::npos) {
      score += 2;
    } else if (word.wordlike) {
      if (!described)
        described = description();
      if (find_at_word_start(*described, w) != WordHit::None)
        score += 1;
    }
  }
  return score;
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
  const QueryWords query(words);
  MatchText name(string_member(tool, "name"));
  MatchText title(string_member(tool, "title"));
  // The description is prepared only when some word is still without points.
  std::optional<MatchText> description;
  return score_pieces(query, name.piece(), title.piece(), [&] {
    description.emplace(string_member(tool, "description"));
    return description->piece();
  });
}

SearchTexts::SearchTexts(const std::vector<JsonValue>& tools) {
  tools_.reserve(tools.size());
  for (const JsonValue& tool : tools) {
    Tool& prepared = tools_.emplace_back();
    prepared.text = texts_.size();
    prepared.starts = starts_.size();
    const std::string_view members[3] = {"name", "title", "description"};
    for (size_t k = 0; k < 3; ++k) {
      const MatchText text(string_member(tool, members[k]));
      const MatchPiece piece = text.piece();
      texts_.append(piece.text);
      starts_.insert(starts_.end(), piece.begin, piece.end);
      prepared.text_ends[k] = static_cast<uint32_t>(texts_.size() - prepared.text);
      prepared.starts_ends[k] = static_cast<uint32_t>(starts_.size() - prepared.starts);
      prepared.first_bytes[k] = piece.first_bytes;
    }
  }
  texts_.shrink_to_fit();
  starts_.shrink_to_fit();
}

MatchPiece SearchTexts::piece(const Tool& tool, size_t k) const {
  const uint32_t text_begin = k == 0 ? 0 : tool.text_ends[k - 1];
  const uint32_t starts_begin = k == 0 ? 0 : tool.starts_ends[k - 1];
  const uint32_t* starts = starts_.data() + tool.starts;
  return MatchPiece{
      std::string_view(texts_).substr(tool.text + text_begin, tool.text_ends[k] - text_begin),
      starts + starts_begin, starts + tool.starts_ends[k], tool.first_bytes[k]};
}

std::vector<uint32_t> SearchTexts::score_all(const std::vector<std::string>& words) const {
  if (words.empty())
    return std::vector<uint32_t>(tools_.size(), 1);
  const QueryWords query(words);
  std::vector<uint32_t> scores;
  scores.reserve(tools_.size());
  for (const Tool& tool : tools_) {
    scores.push_back(
        score_pieces(query, piece(tool, 0), piece(tool, 1), [&] { return piece(tool, 2); }));
  }
  return scores;
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
  std::vector<uint32_t> scores;
  scores.reserve(hits.size());
  for (const ToolHit& hit : hits)
    scores.push_back(hit.score);
  std::vector<ToolHit> ranked;
  ranked.reserve(std::min(hits.size(), static_cast<size_t>(MAX_FIND_LIMIT)));
  for (const size_t position : rank_scores(scores, limit))
    ranked.push_back(std::move(hits[position]));
  return ranked;
}

std::vector<size_t> rank_scores(const std::vector<uint32_t>& scores, uint64_t limit) {
  limit = std::clamp<uint64_t>(limit, 1, MAX_FIND_LIMIT);
  std::vector<size_t> positions(scores.size());
  for (size_t i = 0; i < positions.size(); ++i)
    positions[i] = i;
  const size_t kept = std::min(positions.size(), static_cast<size_t>(limit));
  // Ties broken by position make the order total, so a partial sort keeps exactly what a
  // stable sort of all hits would put first.
  std::partial_sort(
      positions.begin(), positions.begin() + static_cast<ptrdiff_t>(kept), positions.end(),
      [&](size_t a, size_t b) { return scores[a] != scores[b] ? scores[a] > scores[b] : a < b; });
  positions.resize(kept);
  return positions;
}

}  // namespace brask
