#include "json/scanner.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

#include "base/bytes.h"
#include "json/document.h"
#include "json/parse.h"


namespace brask {
namespace {

bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

bool is_continuation(const char* p, const char* end, unsigned char lo = 0x80,
                     unsigned char hi = 0xBF) {
  if (p >= end)
    return false;
  unsigned char c = static_cast<unsigned char>(*p);
  return c >= lo && c <= hi;
}

// Length of the well-formed UTF-8 sequence at `p` (a byte >= 0x80), or 0. Overlong forms,
// encoded surrogates and code points above U+10FFFF are not well formed.
size_t utf8_sequence_length(const char* p, const char* end) {
  unsigned char c = static_cast<unsigned char>(*p);
  if (c >= 0xC2 && c <= 0xDF)
    return is_continuation(p + 1, end) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    return is_continuation(p + 1, end, lo, hi) && is_continuation(p + 2, end) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    return is_continuation(p + 1, end, lo, hi) && is_continuation(p + 2, end) &&
                   is_continuation(p + 3, end)
               ? 4
               : 0;
  }
  return 0;
}

void append_utf8(uint32_t code, std::string* out) {
  char buf[4];
  out->append(buf, static_cast<size_t>(put_utf8(buf, code) - buf));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Whether a grammatical number that does not fit a double is too large (rather than too
// small): its decimal exponent, taken from the written digits and exponent, is >= 0.
bool magnitude_at_least_one(std::string_view number) {
  size_t i = number[0] == '-' ? 1 : 0;
  long long e10;
  if (number[i] != '0') {
    size_t digits = 0;
    while (i < number.size() && is_digit(number[i])) {
      ++i;
      ++digits;
    }
    e10 = static_cast<long long>(digits) - 1;
  } else {
    ++i;
    e10 = -1;
    if (i < number.size() && number[i] == '.') {
      ++i;
      while (i < number.size() && number[i] == '0') {
        ++i;
        --e10;
      }
    }
  }
  size_t e = number.find_first_of("eE");
  if (e == std::string_view::npos)
    return e10 >= 0;
  ++e;
  bool negative = number[e] == '-';
  if (number[e] == '-' || number[e] == '+')
    ++e;
  long long exponent = 0;
  for (; e < number.size(); ++e) {
    // Saturate: past a billion the sign alone decides.
    if (exponent < 1000000000)
      exponent = exponent * 10 + (number[e] - '0');
  }
  return e10 + (negative ? -exponent : exponent) >= 0;
}

// Writes a scalar into a raw node.
void put(JsonValue* out, const JsonValue& scalar) {
  std::memcpy(static_cast<void*>(out), static_cast<const void*>(&scalar), sizeof(JsonValue));
}

// Below this the outermost container copies its items like any other; above it, it keeps
// the scratch block rather than holding the items twice at once.
constexpr size_t KEEP_SCRATCH_BYTES = 64 * 1024;

}  // namespace

JsonScanner::Scratch::~Scratch() {
  std::free(block);
}

void JsonScanner::Scratch::grow(size_t bytes) {
  const size_t want = std::max({capacity * 2, used + bytes, size_t{512}});
  void* grown = std::realloc(block, HEADER + want);  // large blocks move by remapping
  if (grown == nullptr)
    throw std::bad_alloc();
  block = static_cast<char*>(grown);
  capacity = want;
}

JsonScanner::~JsonScanner() {
  if (doc_ != nullptr)
    doc_->arena.free_all();
}

JsonArena* JsonScanner::arena() {
  if (doc_ == nullptr)
    doc_ = JsonDocument::create(text_.size() - pos_ + 256);
  return &doc_->arena;
}

void* JsonScanner::take_items(Scratch* scratch, size_t base, size_t count, size_t width) {
  const size_t bytes = count * width;
  JsonArena* items_arena = arena();
  void* items;
  if (base == 0 && bytes >= KEEP_SCRATCH_BYTES) {
    // The header room in front of the items becomes the arena block's header.
    void* shrunk = std::realloc(scratch->block, Scratch::HEADER + bytes);
    auto* block = static_cast<JsonArena::Block*>(shrunk ? shrunk : scratch->block);
    block->next = nullptr;
    block->bytes = Scratch::HEADER + bytes;
    static_assert(sizeof(JsonArena::Block) <= Scratch::HEADER);
    items_arena->add_block(block);
    items = reinterpret_cast<char*>(block) + Scratch::HEADER;
    scratch->block = nullptr;
    scratch->capacity = 0;
  } else {
    items = items_arena->allocate(bytes);
    std::memcpy(items, scratch->data() + base, bytes);
  }
  scratch->used = base;
  return items;
}

void JsonScanner::advance(size_t n) {
  pos_ = n > text_.size() - pos_ ? text_.size() : pos_ + n;
}

int JsonScanner::skip_whitespace() {
  const size_t n = text_.size();
  while (pos_ < n) {
    char c = text_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r')
      return static_cast<unsigned char>(c);
    ++pos_;
  }
  return -1;
}

Failure JsonScanner::fault(std::string_view what, size_t consumed) const {
  if (consumed > text_.size())
    consumed = text_.size();
  size_t line = 1;
  size_t line_start = 0;
  const char* base = text_.data();
  const char* p = base;
  const char* end = base + consumed;
  while (p < end) {
    const void* hit = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (hit == nullptr)
      break;
    ++line;
    p = static_cast<const char*>(hit) + 1;
    line_start = static_cast<size_t>(p - base);
  }
  std::string text(what);
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(consumed - line_start);
  return fail(std::move(text));
}

bool JsonScanner::set_fault(std::string_view what, size_t consumed) {
  fault_what_ = what;
  fault_at_ = consumed;
  return false;
}

Failure JsonScanner::expect_value_fault() {
  int c = skip_whitespace();
  if (c == -1)
    return fault(JSON_EOF_IN_VALUE, text_.size());
  return fault(JSON_EXPECTED_VALUE, pos_ + 1);
}

bool JsonScanner::value_into(JsonValue* out, int open) {
  switch (skip_whitespace()) {
    case -1:
      return set_fault(JSON_EOF_IN_VALUE, text_.size());
    case '"':
      return string_into(out);
    case '[':
      return open_step(open) && array_into(out, open + 1);
    case '{':
      return open_step(open) && object_into(out, open + 1);
    case 't':
    case 'f':
    case 'n':
      return literal_into(out);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return number_into(out);
    default:
      return set_fault(JSON_EXPECTED_VALUE, pos_ + 1);
  }
}

bool JsonScanner::open_step(int open) {
  if (open >= MAX_JSON_DEPTH - 1)
    return set_fault(JSON_RECURSION_LIMIT, pos_ + 1);
  ++pos_;
  return true;
}

bool JsonScanner::colon_step() {
  int c = skip_whitespace();
  if (c == -1)
    return set_fault(JSON_EOF_IN_OBJECT, text_.size());
  if (c != ':')
    return set_fault(JSON_EXPECTED_COLON, pos_ + 1);
  ++pos_;
  return true;
}

bool JsonScanner::element_step(bool first, bool* more) {
  int c = skip_whitespace();
  if (c == ']') {
    ++pos_;
    *more = false;
    return true;
  }
  if (c == -1)
    return set_fault(JSON_EOF_IN_LIST, text_.size());
  if (!first) {
    if (c != ',')
      return set_fault(JSON_EXPECTED_LIST_COMMA_OR_END, pos_ + 1);
    ++pos_;
    c = skip_whitespace();
    if (c == -1)
      return set_fault(JSON_EOF_IN_VALUE, text_.size());
    if (c == ']')
      return set_fault(JSON_TRAILING_COMMA, pos_ + 1);
  }
  *more = true;
  return true;
}

bool JsonScanner::member_step(bool first, bool* more) {
  int c = skip_whitespace();
  if (c == '}') {
    ++pos_;
    *more = false;
    return true;
  }
  if (c == -1)
    return set_fault(JSON_EOF_IN_OBJECT, text_.size());
  if (!first) {
    if (c != ',')
      return set_fault(JSON_EXPECTED_OBJECT_COMMA_OR_END, pos_ + 1);
    ++pos_;
    c = skip_whitespace();
    if (c == -1)
      return set_fault(JSON_EOF_IN_VALUE, text_.size());
    if (c == '}')
      return set_fault(JSON_TRAILING_COMMA, pos_ + 1);
  }
  if (c != '"')
    return set_fault(JSON_KEY_MUST_BE_STRING, pos_ + 1);
  *more = true;
  return true;
}

bool JsonScanner::array_into(JsonValue* out, int open) {
  const size_t base = values_.used;
  bool more = false;
  for (bool first = true;; first = false) {
    if (!element_step(first, &more))
      return false;
    if (!more)
      break;
    if (out == nullptr) {
      if (!value_into(nullptr, open))
        return false;
    } else if (int c = peek(); c == '[' || c == '{') {
      // Reading a container adds to `values_`, so it cannot be read in place.
      JsonValue element;
      if (!value_into(&element, open))
        return false;
      put(static_cast<JsonValue*>(values_.push(sizeof(JsonValue))), element);
    } else {
      if (!value_into(static_cast<JsonValue*>(values_.push(sizeof(JsonValue))), open))
        return false;
    }
  }
  if (out != nullptr) {
    const size_t n = (values_.used - base) / sizeof(JsonValue);
    const void* items = n == 0 ? nullptr : take_items(&values_, base, n, sizeof(JsonValue));
    JsonBuild::set_array(out, static_cast<const JsonValue*>(items), n);
  }
  return true;
}

bool JsonScanner::object_into(JsonValue* out, int open) {
  const size_t base = members_.used;
  bool more = false;
  for (bool first = true;; first = false) {
    if (!member_step(first, &more))
      return false;
    if (!more)
      break;
    if (out == nullptr) {
      if (!string_step(nullptr) || !colon_step() || !value_into(nullptr, open))
        return false;
      continue;
    }
    JsonMember member;
    if (!string_into(JsonBuild::key(&member)) || !colon_step() ||
        !value_into(JsonBuild::value(&member), open))
      return false;
    std::memcpy(members_.push(sizeof(JsonMember)), static_cast<const void*>(&member),
                sizeof(JsonMember));
  }
  if (out != nullptr) {
    size_t n = (members_.used - base) / sizeof(JsonMember);
    if (n > 1)
      n = JsonBuild::sort_members(reinterpret_cast<JsonMember*>(members_.data() + base), n);
    const void* items = n == 0 ? nullptr : take_items(&members_, base, n, sizeof(JsonMember));
    JsonBuild::set_object(out, static_cast<const JsonMember*>(items), n);
  }
  return true;
}

bool JsonScanner::string_into(JsonValue* out) {
  if (out == nullptr)
    return string_step(nullptr);
  std::string_view text;
  if (!string_step(&text))
    return false;
  if (text.size() <= JsonBuild::SHORT_MAX)
    JsonBuild::set_short_string(out, text);
  else
    JsonBuild::set_string(out, text, arena());
  return true;
}

bool JsonScanner::string_step(std::string_view* out) {
  const char* const begin = text_.data();
  const char* const end = begin + text_.size();
  const char* const start = begin + pos_ + 1;
  const char* p = start;
  const char* chunk = p;
  bool escaped = false;
  bool bad_utf8 = false;
  std::string* decoded = out == nullptr ? nullptr : &decoded_;
  for (;;) {
    p = find_json_string_stop<true>(p, end);
    if (p == end)
      return set_fault(JSON_EOF_IN_STRING, text_.size());
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      if (out != nullptr) {
        if (escaped) {
          decoded_.append(chunk, static_cast<size_t>(p - chunk));
          *out = decoded_;
        } else {
          *out = std::string_view(start, static_cast<size_t>(p - start));
        }
      }
      pos_ = static_cast<size_t>(p - begin) + 1;
      // Checked only once the string is complete, so other faults inside it come first.
      if (bad_utf8)
        return set_fault(JSON_INVALID_UNICODE, pos_);
      return true;
    }
    if (c == '\\') {
      if (decoded != nullptr) {
        if (!escaped)
          decoded_.clear();
        decoded_.append(chunk, static_cast<size_t>(p - chunk));
      }
      escaped = true;
      pos_ = static_cast<size_t>(p - begin);
      if (!escape_into(decoded))
        return false;
      p = chunk = begin + pos_;
      continue;
    }
    if (c < 0x20)
      return set_fault(JSON_CONTROL_CHARACTER, static_cast<size_t>(p - begin) + 1);
    // A run of non-ASCII text (CJK, emoji) is checked here without going back to the
    // vector search after every character.
    while (p < end && static_cast<unsigned char>(*p) >= 0x80) {
      size_t n = utf8_sequence_length(p, end);
      if (n == 0) {
        bad_utf8 = true;
        n = 1;
      }
      p += n;
    }
  }
}

bool JsonScanner::hex4(uint32_t* code) {
  if (text_.size() - pos_ < 4)
    return set_fault(JSON_EOF_IN_STRING, text_.size());
  uint32_t value = 0;
  bool ok = true;
  for (size_t i = 0; i < 4; ++i) {
    int h = hex_value(text_[pos_ + i]);
    if (h < 0)
      ok = false;
    value = value * 16 + static_cast<uint32_t>(h < 0 ? 0 : h);
  }
  pos_ += 4;
  if (!ok)
    return set_fault(JSON_INVALID_ESCAPE, pos_);
  *code = value;
  return true;
}

bool JsonScanner::escape_into(std::string* out) {
  ++pos_;  // the backslash
  if (pos_ >= text_.size())
    return set_fault(JSON_EOF_IN_STRING, text_.size());
  char decoded;
  switch (text_[pos_]) {
    case '"':
      decoded = '"';
      break;
    case '\\':
      decoded = '\\';
      break;
    case '/':
      decoded = '/';
      break;
    case 'b':
      decoded = '\b';
      break;
    case 'f':
      decoded = '\f';
      break;
    case 'n':
      decoded = '\n';
      break;
    case 'r':
      decoded = '\r';
      break;
    case 't':
      decoded = '\t';
      break;
    case 'u': {
      ++pos_;
      uint32_t code;
      if (!hex4(&code))
        return false;
      if (code >= 0xDC00 && code <= 0xDFFF)
        return set_fault(JSON_LONE_SURROGATE, pos_);
      if (code >= 0xD800 && code <= 0xDBFF) {
        for (char want : {'\\', 'u'}) {
          if (pos_ >= text_.size())
            return set_fault(JSON_EOF_IN_STRING, text_.size());
          if (text_[pos_] != want)
            return set_fault(JSON_UNEXPECTED_END_OF_HEX_ESCAPE, pos_ + 1);
          ++pos_;
        }
        uint32_t low;
        if (!hex4(&low))
          return false;
        if (low < 0xDC00 || low > 0xDFFF)
          return set_fault(JSON_LONE_SURROGATE, pos_);
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out != nullptr)
        append_utf8(code, out);
      return true;
    }
    default:
      return set_fault(JSON_INVALID_ESCAPE, pos_ + 1);
  }
  if (out != nullptr)
    out->push_back(decoded);
  ++pos_;
  return true;
}

bool JsonScanner::number_into(JsonValue* out) {
  const std::string_view s = text_;
  const size_t n = s.size();
  const size_t start = pos_;
  size_t i = pos_;
  const bool negative = s[i] == '-';
  if (negative)
    ++i;
  if (i == n)
    return set_fault(JSON_EOF_IN_VALUE, n);
  uint64_t magnitude = 0;
  bool is_double = false;
  // Digits of integer and fraction as one integer, for the exact fast path below.
  uint64_t significand = 0;
  int significand_digits = 0;
  int exponent10 = 0;
  if (s[i] == '0') {
    ++i;
    if (i < n && is_digit(s[i]))
      return set_fault(JSON_INVALID_NUMBER, i + 1);
  } else if (is_digit(s[i])) {
    const size_t first = i;
    // Nineteen digits always fit in 64 bits; only longer numbers need the overflow check.
    for (const size_t safe_end = std::min(n, first + 19); i < safe_end && is_digit(s[i]); ++i)
      magnitude = magnitude * 10 + static_cast<uint64_t>(s[i] - '0');
    for (; i < n && is_digit(s[i]); ++i) {
      uint64_t digit = static_cast<uint64_t>(s[i] - '0');
      if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
        is_double = true;  // too large for 64 bits
      } else {
        magnitude = magnitude * 10 + digit;
      }
    }
    significand_digits = static_cast<int>(std::min<size_t>(i - first, 99));
    significand = magnitude;
  } else {
    return set_fault(JSON_INVALID_NUMBER, i + 1);
  }
  if (i < n && s[i] == '.') {
    ++i;
    if (i == n)
      return set_fault(JSON_EOF_IN_VALUE, n);
    if (!is_digit(s[i]))
      return set_fault(JSON_INVALID_NUMBER, i + 1);
    for (; i < n && is_digit(s[i]); ++i) {
      if (significand_digits < 19) {
        significand = significand * 10 + static_cast<uint64_t>(s[i] - '0');
        if (significand != 0)
          ++significand_digits;
        --exponent10;
      } else {
        significand_digits = 99;  // too many digits for the fast path
      }
    }
    is_double = true;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative_exponent = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
      negative_exponent = s[i] == '-';
      ++i;
    }
    if (i == n)
      return set_fault(JSON_EOF_IN_VALUE, n);
    if (!is_digit(s[i]))
      return set_fault(JSON_INVALID_NUMBER, i + 1);
    int written = 0;
    for (; i < n && is_digit(s[i]); ++i) {
      if (written < 100000)
        written = written * 10 + (s[i] - '0');
    }
    exponent10 += negative_exponent ? -written : written;
    is_double = true;
  }
  pos_ = i;
  if (!is_double) {
    if (!negative) {
      if (out != nullptr)
        put(out, JsonValue(static_cast<unsigned long long>(magnitude)));
      return true;
    }
    if (magnitude == 0) {
      if (out != nullptr)
        put(out, JsonValue(-0.0));
      return true;
    }
    if (magnitude <= uint64_t{1} << 63) {
      // Negating in unsigned arithmetic keeps -2^63 in range.
      if (out != nullptr)
        put(out, JsonValue(static_cast<long long>(0 - magnitude)));
      return true;
    }
  }
  // Exact when the significand fits a double's 53 bits and the power of ten is exact too:
  // one correctly rounded multiplication or division.
  static constexpr double EXACT_POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (significand_digits <= 19 && significand <= (uint64_t{1} << 53) && exponent10 >= -22 &&
      exponent10 <= 22) {
    double value = static_cast<double>(significand);
    value = exponent10 < 0 ? value / EXACT_POWERS[-exponent10] : value * EXACT_POWERS[exponent10];
    if (out != nullptr)
      put(out, JsonValue(negative ? -value : value));
    return true;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(s.data() + start, s.data() + i, value);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude_at_least_one(s.substr(start, i - start))) {
      return set_fault(JSON_NUMBER_OUT_OF_RANGE, i);
    }
    value = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || end != s.data() + i) {
    return set_fault(JSON_INVALID_NUMBER, i);  // not reached for grammatical numbers
  }
  if (out != nullptr)
    put(out, JsonValue(value));
  return true;
}

bool JsonScanner::literal_into(JsonValue* out) {
  std::string_view word;
  JsonValue value;
  switch (text_[pos_]) {
    case 't':
      word = "true";
      value = JsonValue(true);
      break;
    case 'f':
      word = "false";
      value = JsonValue(false);
      break;
    default:
      word = "null";
      break;
  }
  for (size_t i = 1; i < word.size(); ++i) {
    if (pos_ + i >= text_.size())
      return set_fault(JSON_EOF_IN_VALUE, text_.size());
    if (text_[pos_ + i] != word[i])
      return set_fault(JSON_EXPECTED_IDENT, pos_ + i + 1);
  }
  pos_ += word.size();
  if (out != nullptr)
    put(out, value);
  return true;
}

Result<std::string> JsonScanner::scan_string() {
  if (peek() != '"')
    return expect_value_fault();
  std::string_view value;
  if (!string_step(&value))
    return take_fault();
  return std::string(value);
}

Result<JsonValue> JsonScanner::scan_number() {
  int c = peek();
  if (c != '-' && !(c >= '0' && c <= '9'))
    return expect_value_fault();
  JsonValue value;
  if (!number_into(&value))
    return take_fault();
  return value;
}

Result<JsonValue> JsonScanner::scan_literal() {
  int c = peek();
  if (c != 't' && c != 'f' && c != 'n')
    return expect_value_fault();
  JsonValue value;
  if (!literal_into(&value))
    return take_fault();
  return value;
}

Result<JsonValue> JsonScanner::parse_value(int open) {
  values_.used = 0;
  members_.used = 0;
  JsonValue node;
  if (!value_into(&node, open)) {
    if (doc_ != nullptr) {
      doc_->arena.free_all();
      doc_ = nullptr;
    }
    return take_fault();
  }
  if (doc_ == nullptr)
    return node;  // nothing outside the node itself
  std::memcpy(static_cast<void*>(&doc_->root), static_cast<const void*>(&node), sizeof(node));
  JsonValue value;
  JsonBuild::own_root(&value, std::exchange(doc_, nullptr));
  return value;
}

Result<void> JsonScanner::skip_value(int open) {
  if (!value_into(nullptr, open))
    return take_fault();
  return {};
}

Result<void> JsonScanner::begin_container(int open) {
  int c = peek();
  if (c != '[' && c != '{')
    return expect_value_fault();
  if (!open_step(open))
    return take_fault();
  return {};
}

Result<bool> JsonScanner::next_member(bool first) {
  bool more = false;
  if (!member_step(first, &more))
    return take_fault();
  return more;
}

Result<bool> JsonScanner::next_element(bool first) {
  bool more = false;
  if (!element_step(first, &more))
    return take_fault();
  return more;
}

Result<void> JsonScanner::scan_colon() {
  if (!colon_step())
    return take_fault();
  return {};
}

Result<void> JsonScanner::skip_member() {
  if (!colon_step())
    return take_fault();
  return skip_value(depth_);
}

Result<void> JsonScanner::finish() {
  if (skip_whitespace() != -1)
    return fault(JSON_TRAILING_CHARACTERS, pos_ + 1);
  return {};
}

}  // namespace brask
