// text.cc: UTF-8 walking with an ASCII fast path in front of every table look-up.
#include "text/text.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "base/bytes.h"
#include "text/unicode_tables.h"

namespace brask {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;
constexpr std::string_view REPLACEMENT_UTF8 = "\xEF\xBF\xBD";

struct Decoded {
  char32_t code_point;  // REPLACEMENT when !valid
  size_t length;        // bytes of the sequence, or of the maximal invalid prefix (at least 1)
  bool valid;
};

// Decodes at `i < text.size()`. An invalid sequence reports the length of its maximal
// subpart (the longest prefix that could still have begun a valid sequence), which is
// what one U+FFFD stands for in lossy conversion. Inlined: it sits in every hot loop.
[[gnu::always_inline]] inline Decoded decode_at(std::string_view text, size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    return {b0, 1, true};
  }
  size_t trail;
  char32_t cp;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    trail = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    trail = 2;
    cp = b0 & 0x0F;
    // Excludes overlong forms and the surrogates.
    if (b0 == 0xE0) {
      lo = 0xA0;
    } else if (b0 == 0xED) {
      hi = 0x9F;
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    trail = 3;
    cp = b0 & 0x07;
    // Excludes overlong forms and values above U+10FFFF.
    if (b0 == 0xF0) {
      lo = 0x90;
    } else if (b0 == 0xF4) {
      hi = 0x8F;
    }
  } else {
    return {REPLACEMENT, 1, false};
  }
  for (size_t k = 1; k <= trail; ++k) {
    if (i + k >= text.size()) {
      return {REPLACEMENT, k, false};
    }
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (b < lo || b > hi) {
      return {REPLACEMENT, k, false};
    }
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, trail + 1, true};
}

// The character that ends at `end > 0`, as forward decoding would find it; when no valid
// one ends there, the invalid last byte alone.
Decoded decode_before(std::string_view text, size_t end) {
  size_t j = end - 1;
  while (j > 0 && end - j < 4 && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80) {
    --j;
  }
  Decoded d = decode_at(text.substr(0, end), j);
  return d.valid && j + d.length == end ? d : Decoded{REPLACEMENT, 1, false};
}

constexpr bool ascii_white_space(unsigned char b) {
  return b == ' ' || (b >= '\t' && b <= '\r');
}
constexpr bool ascii_alphabetic(unsigned char b) {
  return static_cast<unsigned char>((b | 0x20) - 'a') < 26;
}
constexpr bool ascii_digit(unsigned char b) {
  return static_cast<unsigned char>(b - '0') < 10;
}
char ascii_lower(char c) {
  return static_cast<char>(c + ((static_cast<unsigned char>(c - 'A') < 26) << 5));
}
// The ASCII members of Case_Ignorable: apostrophe, full stop, colon, circumflex, grave.
bool ascii_case_ignorable(unsigned char b) {
  return b == '\'' || b == '.' || b == ':' || b == '^' || b == '`';
}

constexpr uint64_t HIGH_BITS = BYTE_HIGH_BITS;

constexpr auto ASCII_ALPHANUMERIC = [] {
  std::array<bool, 128> table{};
  for (unsigned char b = 0; b < 128; ++b) {
    table[b] = ascii_alphabetic(b) || ascii_digit(b);
  }
  return table;
}();

// Length of the leading run of ASCII bytes from `i`.
size_t ascii_run(std::string_view text, size_t i) {
  const size_t start = i;
  while (i + 8 <= text.size()) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & HIGH_BITS) {
      break;
    }
    i += 8;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) {
    ++i;
  }
  return i - start;
}

// Whether `text` holds eight ASCII bytes from `i`.
bool eight_ascii_at(std::string_view text, size_t i) {
  uint64_t word;
  if (text.size() - i < 8) {
    return false;
  }
  std::memcpy(&word, text.data() + i, 8);
  return (word & HIGH_BITS) == 0;
}

// Lower-cases the ASCII bytes at `p` in place, eight at a time.
void lower_ascii_in_place(char* p, size_t n) {
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const uint64_t word = lower_ascii8(load8(p + k));
    std::memcpy(p + k, &word, 8);
  }
  for (; k < n; ++k) {
    p[k] = ascii_lower(p[k]);
  }
}

// Length of the alphanumeric character at `text[i]` (not ASCII), or 0 when it is not one.
// Kept out of line so that the callers' ASCII loops stay small.
[[gnu::noinline]] size_t alphanumeric_length(std::string_view text, size_t i) {
  const Decoded d = decode_at(text, i);
  const bool alnum =
      d.valid && (unicode_properties(d.code_point) & (UNICODE_ALPHABETIC | UNICODE_NUMERIC));
  return alnum ? d.length : 0;
}

// Most bytes one character's lower-case form takes: three code points of four bytes.
constexpr size_t MAX_LOWER_BYTES = 12;

// Whether the text from `i` goes on, past case-ignorable characters, with a cased one:
// the "not followed by" half of Final_Sigma.
bool cased_follows(std::string_view text, size_t i) {
  while (i < text.size()) {
    Decoded d = decode_at(text, i);
    if (!d.valid) {
      return false;
    }
    const uint8_t p = unicode_properties(d.code_point);
    if (!(p & UNICODE_CASE_IGNORABLE)) {
      return (p & UNICODE_CASED) != 0;
    }
    i += d.length;
  }
  return false;
}

void append_hex_escape(std::string* out, char32_t c) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  char buf[8];
  size_t n = 0;
  do {
    buf[n++] = DIGITS[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out->append("\\u{");
  while (n > 0) {
    out->push_back(buf[--n]);
  }
  out->push_back('}');
}

}  // namespace

char32_t decode_utf8(std::string_view text, size_t* pos) {
  if (*pos >= text.size()) {
    *pos = text.size();
    return REPLACEMENT;
  }
  Decoded d = decode_at(text, *pos);
  *pos += d.valid ? d.length : 1;
  return d.code_point;
}

void append_utf8(std::string* out, char32_t c) {
  if (c > MAX_CODE_POINT || (c >= 0xD800 && c <= 0xDFFF)) {
    out->append(REPLACEMENT_UTF8);
    return;
  }
  char buf[4];
  out->append(buf, static_cast<size_t>(put_utf8(buf, c) - buf));
}

bool is_white_space(char32_t c) {
  return c < 0x80 ? ascii_white_space(static_cast<unsigned char>(c))
                  : (unicode_properties(c) & UNICODE_WHITE_SPACE) != 0;
}

bool is_alphabetic(char32_t c) {
  return c < 0x80 ? ascii_alphabetic(static_cast<unsigned char>(c))
                  : (unicode_properties(c) & UNICODE_ALPHABETIC) != 0;
}

bool is_numeric(char32_t c) {
  return c < 0x80 ? ascii_digit(static_cast<unsigned char>(c))
                  : (unicode_properties(c) & UNICODE_NUMERIC) != 0;
}

bool is_alphanumeric(char32_t c) {
  if (c < 0x80) {
    const auto b = static_cast<unsigned char>(c);
    return ascii_alphabetic(b) || ascii_digit(b);
  }
  return (unicode_properties(c) & (UNICODE_ALPHABETIC | UNICODE_NUMERIC)) != 0;
}

bool is_grapheme_extend(char32_t c) {
  return c >= 0x80 && (unicode_properties(c) & UNICODE_GRAPHEME_EXTEND) != 0;
}

bool is_not_printable(char32_t c) {
  return c < 0x80 ? c < 0x20 || c == 0x7F : (unicode_properties(c) & UNICODE_NOT_PRINTABLE) != 0;
}

bool is_blank_line(std::string_view line) {
  return line.find_first_not_of(" \t\r\f\n") == std::string_view::npos;
}

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const auto b = static_cast<unsigned char>(text[begin]);
    if (b < 0x80) {
      if (!ascii_white_space(b)) {
        break;
      }
      ++begin;
      continue;
    }
    Decoded d = decode_at(text, begin);
    if (!d.valid || !(unicode_properties(d.code_point) & UNICODE_WHITE_SPACE)) {
      break;
    }
    begin += d.length;
  }
  size_t end = text.size();
  while (end > begin) {
    const auto b = static_cast<unsigned char>(text[end - 1]);
    if (b < 0x80) {
      if (!ascii_white_space(b)) {
        break;
      }
      --end;
      continue;
    }
    Decoded d = decode_before(text, end);
    if (!d.valid || !(unicode_properties(d.code_point) & UNICODE_WHITE_SPACE)) {
      break;
    }
    end -= d.length;
  }
  return text.substr(begin, end - begin);
}

std::string to_lower(std::string_view text) {
  size_t i = ascii_run(text, 0);
  if (i == text.size()) {
    std::string out(text);
    lower_ascii_in_place(out.data(), i);
    return out;
  }
  // `out` is a buffer written up to `o`, grown before each character so that its longest
  // mapping fits; a few mappings are longer than their source.
  std::string out(text.size() + text.size() / 2 + MAX_LOWER_BYTES, '\0');
  std::memcpy(out.data(), text.data(), i);
  lower_ascii_in_place(out.data(), i);
  size_t o = i;
  // Final_Sigma looks back past case-ignorable characters to the nearest other one;
  // this is whether that one was cased.
  bool cased_before = false;
  auto note_ascii = [&](size_t from, size_t to) {
    for (size_t k = to; k > from; --k) {
      const auto b = static_cast<unsigned char>(text[k - 1]);
      if (!ascii_case_ignorable(b)) {
        cased_before = ascii_alphabetic(b);
        return;
      }
    }
  };
  note_ascii(0, i);
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      // Mixed text has short ASCII runs (spaces, punctuation); only long ones are worth
      // the word-at-a-time path.
      if (eight_ascii_at(text, i)) {
        const size_t run = ascii_run(text, i);
        if (out.size() - o < run + MAX_LOWER_BYTES) {
          out.resize(o + run + out.size());
        }
        std::memcpy(out.data() + o, text.data() + i, run);
        lower_ascii_in_place(out.data() + o, run);
        note_ascii(i, i + run);
        o += run;
        i += run;
        continue;
      }
      if (out.size() - o < MAX_LOWER_BYTES) {
        out.resize(2 * out.size());
      }
      out[o++] = ascii_lower(static_cast<char>(b));
      if (!ascii_case_ignorable(b)) {
        cased_before = ascii_alphabetic(b);
      }
      ++i;
      continue;
    }
    if (out.size() - o < MAX_LOWER_BYTES) {
      out.resize(2 * out.size());
    }
    char* p = out.data() + o;
    const Decoded d = decode_at(text, i);
    if (!d.valid) {
      // Not ours to repair: invalid bytes pass through, and count as uncased.
      std::memcpy(p, text.data() + i, d.length);
      o += d.length;
      i += d.length;
      cased_before = false;
      continue;
    }
    const uint8_t props = unicode_properties(d.code_point);
    if (d.code_point == 0x03A3) {
      const bool final_sigma = cased_before && !cased_follows(text, i + d.length);
      p = put_utf8(p, final_sigma ? 0x03C2 : 0x03C3);
    } else if (props & UNICODE_CHANGES_WHEN_LOWERED) {
      char32_t mapped[3];
      const size_t n = unicode_lower(d.code_point, mapped);
      for (size_t k = 0; k < n; ++k) {
        p = put_utf8(p, mapped[k]);
      }
    } else {
      // At most four bytes: a loop beats a call to memcpy.
      for (size_t k = 0; k < d.length; ++k) {
        *p++ = text[i + k];
      }
    }
    if (!(props & UNICODE_CASE_IGNORABLE)) {
      cased_before = (props & UNICODE_CASED) != 0;
    }
    o = static_cast<size_t>(p - out.data());
    i += d.length;
  }
  out.resize(o);
  return out;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  const size_t n = text.size();
  size_t i = 0;
  while (true) {
    while (i < n) {
      const auto b = static_cast<unsigned char>(text[i]);
      if (b < 0x80) {
        if (ASCII_ALPHANUMERIC[b]) {
          break;
        }
        ++i;
      } else {
        const size_t length = alphanumeric_length(text, i);
        if (length != 0) {
          break;
        }
        i += decode_at(text, i).length;
      }
    }
    if (i == n) {
      return words;
    }
    const size_t start = i;
    while (i < n) {
      const auto b = static_cast<unsigned char>(text[i]);
      if (b < 0x80) {
        if (!ASCII_ALPHANUMERIC[b]) {
          break;
        }
        ++i;
      } else {
        const size_t length = alphanumeric_length(text, i);
        if (length == 0) {
          break;
        }
        i += length;
      }
    }
    words.push_back(text.substr(start, i - start));
  }
}

size_t count_chars(std::string_view text) {
  size_t count = 0;
  size_t i = 0;
  while (i < text.size()) {
    const size_t run = ascii_run(text, i);
    count += run;
    i += run;
    if (i < text.size()) {
      decode_utf8(text, &i);
      ++count;
    }
  }
  return count;
}

std::string_view first_chars(std::string_view text, size_t count) {
  size_t i = 0;
  for (; count > 0 && i < text.size(); --count) {
    decode_utf8(text, &i);
  }
  return text.substr(0, i);
}

std::string escape_debug(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char ch = text[i];
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      switch (ch) {
        case '\0':
          out.append("\\0");
          break;
        case '\t':
          out.append("\\t");
          break;
        case '\r':
          out.append("\\r");
          break;
        case '\n':
          out.append("\\n");
          break;
        case '\\':
        case '"':
        case '\'':
          out.push_back('\\');
          out.push_back(ch);
          break;
        default:
          if (b < 0x20 || b == 0x7F) {
            append_hex_escape(&out, b);
          } else {
            out.push_back(ch);
          }
      }
      ++i;
      continue;
    }
    Decoded d = decode_at(text, i);
    if (!d.valid) {
      out.append(REPLACEMENT_UTF8);
    } else if (unicode_properties(d.code_point) &
               (UNICODE_GRAPHEME_EXTEND | UNICODE_NOT_PRINTABLE)) {
      append_hex_escape(&out, d.code_point);
    } else {
      out.append(text.data() + i, d.length);
    }
    i += d.length;
  }
  return out;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t run = ascii_run(bytes, i);
    out.append(bytes.data() + i, run);
    i += run;
    if (i == bytes.size()) {
      break;
    }
    Decoded d = decode_at(bytes, i);
    if (d.valid) {
      out.append(bytes.data() + i, d.length);
    } else {
      out.append(REPLACEMENT_UTF8);
    }
    i += d.length;
  }
  return out;
}

}  // namespace brask
