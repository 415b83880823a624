#include "json/scanner.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>
#include <utility>

#include "base/bytes.h"
#include "json/decimal.h"
#include "json/document.h"
#include "json/parse.h"

namespace brask {
namespace {

bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

// Decoded byte of each one-letter escape (`\n` is 'n' here), 0 for the others.
constexpr auto SIMPLE_ESCAPES = [] {
  std::array<char, 256> table{};
  const std::string_view letters = "\"\\/bfnrt", decoded = "\"\\/\b\f\n\r\t";
  for (size_t i = 0; i < letters.size(); ++i)
    table[static_cast<unsigned char>(letters[i])] = decoded[i];
  return table;
}();

// Value of each hex digit, -1 for other bytes.
constexpr auto HEX_VALUES = [] {
  std::array<int8_t, 256> table{};
  for (int c = 0; c < 256; ++c)
    table[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
               : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
               : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                      : int8_t{-1};
  return table;
}();

constexpr uint64_t POWERS_OF_TEN[] = {1,      10,      100,      1000,     10000,
                                      100000, 1000000, 10000000, 100000000};

// Where the exponent as written stops growing: more than any text has digits.
constexpr int64_t MAX_WRITTEN_EXPONENT = 100'000'000'000'000'000;

// A number's integer and fraction digits as one integer, for the exact conversion.
struct Decimal {
  uint64_t significand = 0;  // up to 19 significant digits
  int digits = 0;            // in `significand`; 99 when more were left out
  int64_t exponent10 = 0;
};

// The integer part from its first digit (not 0) on: its value while that fits 64 bits, with
// `*too_large` set when it does not. Returns the end of the digits.
const char* read_integer(const char* p, const char* end, uint64_t* magnitude, bool* too_large) {
  const char* const first = p;
  uint64_t m = 0;
  // Eight bytes at a time while nineteen digits, which always fit in 64 bits, are not
  // exceeded; the rest, and the last bytes of the text, one by one.
  while (end - p >= 8 && p - first <= 11) {
    const uint64_t d = digit_bytes(load8(p));
    if (leading_digits(d) != 8)
      break;
    m = m * 100000000 + digits_value(d, 8);
    p += 8;
  }
  for (const char* safe_end = first + 19 < end ? first + 19 : end; p < safe_end && is_digit(*p);
       ++p)
    m = m * 10 + static_cast<uint64_t>(*p - '0');
  for (; p < end && is_digit(*p); ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (m > (std::numeric_limits<uint64_t>::max() - digit) / 10)
      *too_large = true;
    else
      m = m * 10 + digit;
  }
  *magnitude = m;
  return p;
}

// The fraction's digits from the first on, added to `*d`. Returns the end of the digits.
const char* read_fraction(const char* p, const char* end, Decimal* d) {
  // Up to eight digits at a time once the significand has begun, as long as 19 fit.
  while (d->significand != 0 && end - p >= 8) {
    const uint64_t bytes = digit_bytes(load8(p));
    const int n = leading_digits(bytes);
    if (n == 0 || d->digits + n > 19)
      break;
    d->significand = d->significand * POWERS_OF_TEN[n] + digits_value(bytes, n);
    d->digits += n;
    d->exponent10 -= n;
    p += n;
    if (n < 8)
      break;
  }
  for (; p < end && is_digit(*p); ++p) {
    if (d->digits < 19) {
      d->significand = d->significand * 10 + static_cast<uint64_t>(*p - '0');
      if (d->significand != 0)
        ++d->digits;
      --d->exponent10;
    } else {
      d->digits = 99;
    }
  }
  return p;
}

// The exponent's digits from the first on, as written. Saturates far beyond any count of
// digits a text can hold, so that the fraction's digits never cancel a part left out.
const char* read_exponent(const char* p, const char* end, int64_t* written) {
  int64_t e = 0;
  for (; p < end && is_digit(*p); ++p)
    if (e < MAX_WRITTEN_EXPONENT)
      e = e * 10 + (*p - '0');
  *written = e;
  return p;
}

// Whether the digits of a grammatical number (its sign left out) that does not fit a double
// are too large rather than too small: the power of ten of its first digit that is not 0,
// with the exponent added, is >= 0.
bool magnitude_at_least_one(const char* digits, const char* end) {
  const std::string_view number(digits, static_cast<size_t>(end - digits));
  const size_t mark = std::min(number.find_first_of(".eE"), number.size());
  int64_t e10 = static_cast<int64_t>(mark) - 1;  // 123 is 1.23e2, 0.0012 is 1.2e-3
  if (number[0] == '0' && mark < number.size() && number[mark] == '.')
    e10 = 1 - static_cast<int64_t>(std::min(number.find_first_not_of('0', 2), number.size()));
  else if (number[0] == '0')
    e10 = -1;
  const size_t e = number.find_first_of("eE");
  if (e == std::string_view::npos)
    return e10 >= 0;
  const char* p = digits + e + 1;
  const bool negative = *p == '-';
  int64_t written;
  read_exponent(p + (*p == '-' || *p == '+'), end, &written);
  return e10 + (negative ? -written : written) >= 0;
}

// The number whose digits (its sign left out) run to `end` as a double, or the fault when
// it does not fit one: exactly from `decimal` where that can, else by from_chars.
std::string_view read_double(const Decimal& decimal, const char* digits, const char* end,
                             double* value) {
  if (decimal.digits <= 19 && decimal.exponent10 >= -400 && decimal.exponent10 <= 400 &&
      decimal_to_double(decimal.significand, static_cast<int>(decimal.exponent10), value))
    return {};
  auto [stop, ec] = std::from_chars(digits, end, *value);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude_at_least_one(digits, end))
      return JSON_NUMBER_OUT_OF_RANGE;
    *value = 0.0;
  } else if (ec != std::errc() || stop != end) {
    return JSON_INVALID_NUMBER;  // not reached for grammatical numbers
  }
  return {};
}

// Writes a value into a raw node. Constructed in place, not copied from a temporary: a
// 16-byte copy of a value just written as two halves stalls on store forwarding.
template <class T>
void put(JsonValue* out, T scalar) {
  ::new (static_cast<void*>(out)) JsonValue(scalar);
}

// Below this the outermost container copies its items like any other; above it, it keeps
// the scratch block rather than holding the items twice at once.
constexpr size_t KEEP_SCRATCH_BYTES = 64 * 1024;

}  // namespace

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
    // The header room in front of the items becomes the arena block's header. Where little
    // of it is spare, the block is kept at the size it grew to: freed at that size, it lets
    // the allocator serve the next parse's growth from memory it keeps rather than from
    // fresh pages (glibc raises its mmap threshold to the largest mapped block freed).
    size_t kept = scratch->capacity;
    if (kept - bytes > bytes / 4) {
      kept = bytes;
      if (void* shrunk = std::realloc(scratch->block, Scratch::HEADER + bytes); shrunk != nullptr)
        scratch->block = static_cast<char*>(shrunk);
    }
    auto* block = reinterpret_cast<JsonArena::Block*>(scratch->block);
    block->next = nullptr;
    block->bytes = Scratch::HEADER + kept;
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
  const std::string_view before = text_.substr(0, consumed);
  const size_t line_start = before.rfind('\n') + 1;  // 0 without a line feed
  return fail(std::string(what) + " at line " +
              std::to_string(1 + std::count(before.begin(), before.end(), '\n')) + " column " +
              std::to_string(before.size() - line_start));
}

Failure JsonScanner::expect_value_fault() {
  int c = skip_whitespace();
  if (c == -1)
    return fault(JSON_EOF_IN_VALUE, text_.size());
  return fault(JSON_EXPECTED_VALUE, pos_ + 1);
}

bool JsonScanner::value_into(JsonValue* out, int open) {
  switch (const int c = skip_whitespace()) {
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
    default:
      return is_json_number_start(c) ? number_into(out) : set_fault(JSON_EXPECTED_VALUE, pos_ + 1);
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

bool JsonScanner::item_step(char close, bool first, bool* more) {
  const bool object = close == '}';
  int c = skip_whitespace();
  if (c == close) {
    ++pos_;
    *more = false;
    return true;
  }
  if (c == -1)
    return set_fault(object ? JSON_EOF_IN_OBJECT : JSON_EOF_IN_LIST, text_.size());
  if (!first) {
    if (c != ',')
      return set_fault(object ? JSON_EXPECTED_OBJECT_COMMA_OR_END : JSON_EXPECTED_LIST_COMMA_OR_END,
                       pos_ + 1);
    ++pos_;
    c = skip_whitespace();
    if (c == -1)
      return set_fault(JSON_EOF_IN_VALUE, text_.size());
    if (c == close)
      return set_fault(JSON_TRAILING_COMMA, pos_ + 1);
  }
  if (object && c != '"')
    return set_fault(JSON_KEY_MUST_BE_STRING, pos_ + 1);
  *more = true;
  return true;
}

bool JsonScanner::array_into(JsonValue* out, int open) {
  const size_t base = values_.used;
  bool more = false;
  for (bool first = true;; first = false) {
    if (!item_step(']', first, &more))
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
      JsonBuild::raw_copy(values_.push(sizeof(JsonValue)), &element, 1);
    } else if (is_json_number_start(c)) {  // the most common: runs of "n,n" directly
      for (;; ++pos_) {
        if (!number_into(static_cast<JsonValue*>(values_.push(sizeof(JsonValue)))))
          return false;
        if (text_.size() - pos_ < 2 || text_[pos_] != ',' ||
            !is_json_number_start(static_cast<unsigned char>(text_[pos_ + 1])))
          break;
      }
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
    if (!item_step('}', first, &more))
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
    auto* members = n == 0 ? nullptr : reinterpret_cast<JsonMember*>(members_.data() + base);
    const void* items = nullptr;
    if (n > 1 && n <= JsonBuild::SMALL_OBJECT) {  // sorted straight into the document
      auto* to = static_cast<JsonMember*>(arena()->allocate(n * sizeof(JsonMember)));
      n = JsonBuild::sort_members(members, n, to);
      members_.used = base;
      items = to;
    } else if (n > 0) {  // one member, or a large object sorted in place
      n = n > 1 ? JsonBuild::sort_members(members, n, members) : n;
      items = take_items(&members_, base, n, sizeof(JsonMember));
    }
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
  const char* chunk = p;  // first byte not yet copied to `decoded_`
  bool escaped = false;
  bool bad_utf8 = false;
  // Appends the plain run before `p`, with room after it for the escape that follows. Runs
  // between escapes are mostly short: those are copied as one 16-byte block.
  auto append_run = [&] {
    const size_t n = static_cast<size_t>(p - chunk);
    if (decoded_.capacity - decoded_.used < n + 16)
      decoded_.grow(n + 16);
    char* o = decoded_.data() + decoded_.used;
    if (n <= 16 && end - chunk >= 16)
      std::memcpy(o, chunk, 16);
    else
      std::memcpy(o, chunk, n);
    decoded_.used += n;
  };
  for (;;) {
    const char* const run = p;
    bool non_ascii = false;
    p = find_json_string_stop<true>(p, end, &non_ascii);
    if (non_ascii && !bad_utf8 && !valid_utf8(run, p, end))
      bad_utf8 = true;
    if (p == end)
      return set_fault(JSON_EOF_IN_STRING, text_.size());
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      if (out != nullptr) {
        if (escaped) {
          append_run();
          *out = std::string_view(decoded_.data(), decoded_.used);
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
    if (c != '\\')
      return set_fault(JSON_CONTROL_CHARACTER, static_cast<size_t>(p - begin) + 1);
    if (out != nullptr) {
      if (!escaped)
        decoded_.used = 0;
      append_run();  // leaves room for the escape's at most four bytes
    }
    escaped = true;
    if (end - p >= 2) {
      if (const char decoded = SIMPLE_ESCAPES[static_cast<unsigned char>(p[1])]; decoded != 0) {
        if (out != nullptr)
          decoded_.data()[decoded_.used++] = decoded;
        p = chunk = p + 2;
        continue;
      }
    }
    pos_ = static_cast<size_t>(p - begin);
    if (!escape_into(out != nullptr))
      return false;
    p = chunk = begin + pos_;
  }
}

bool JsonScanner::hex4(uint32_t* code) {
  if (text_.size() - pos_ < 4)
    return set_fault(JSON_EOF_IN_STRING, text_.size());
  uint32_t value = 0;
  int bad = 0;  // negative once any byte is not a hex digit
  for (size_t i = 0; i < 4; ++i) {
    const int h = HEX_VALUES[static_cast<unsigned char>(text_[pos_ + i])];
    bad |= h;
    value = value * 16 + static_cast<uint32_t>(h & 15);
  }
  pos_ += 4;
  if (bad < 0)
    return set_fault(JSON_INVALID_ESCAPE, pos_);
  *code = value;
  return true;
}

bool JsonScanner::escape_into(bool keep) {
  ++pos_;  // the backslash
  if (pos_ >= text_.size())
    return set_fault(JSON_EOF_IN_STRING, text_.size());
  if (text_[pos_] != 'u')
    return set_fault(JSON_INVALID_ESCAPE, pos_ + 1);
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
  if (keep) {
    char* o = decoded_.data() + decoded_.used;
    decoded_.used += static_cast<size_t>(put_utf8(o, code) - o);
  }
  return true;
}

bool JsonScanner::number_into(JsonValue* out) {
  const char* const begin = text_.data();
  const char* const end = begin + text_.size();
  const char* p = begin + pos_;
  const bool negative = *p == '-';
  p += negative;
  // A sign, a point and an exponent mark are each followed by a digit.
  auto digit_at = [&](const char* q) {
    if (q == end)
      return set_fault(JSON_EOF_IN_VALUE, text_.size());
    if (!is_digit(*q))
      return set_fault(JSON_INVALID_NUMBER, static_cast<size_t>(q - begin) + 1);
    return true;
  };
  if (!digit_at(p))
    return false;
  const char* const digits = p;
  Decimal decimal;
  uint64_t magnitude = 0;
  bool is_double = false;  // or an integer too large for 64 bits
  if (*p == '0') {
    if (++p < end && is_digit(*p))
      return set_fault(JSON_INVALID_NUMBER, static_cast<size_t>(p - begin) + 1);
  } else {
    p = read_integer(p, end, &magnitude, &is_double);
    decimal.significand = magnitude;
    decimal.digits = p - digits <= 19 ? static_cast<int>(p - digits) : 99;
  }
  if (p < end && *p == '.') {
    if (!digit_at(++p))
      return false;
    p = read_fraction(p, end, &decimal);
    is_double = true;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    const bool negative_exponent = ++p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-'))
      ++p;
    if (!digit_at(p))
      return false;
    int64_t written;
    p = read_exponent(p, end, &written);
    decimal.exponent10 += negative_exponent ? -written : written;
    is_double = true;
  }
  pos_ = static_cast<size_t>(p - begin);
  if (!is_double && (!negative || magnitude <= uint64_t{1} << 63)) {
    if (out == nullptr)
      return true;
    if (!negative)
      put(out, static_cast<unsigned long long>(magnitude));
    else if (magnitude == 0)
      put(out, -0.0);
    else  // negated in unsigned arithmetic, which keeps -2^63 in range
      put(out, static_cast<long long>(0 - magnitude));
    return true;
  }
  double value = 0;
  if (std::string_view fault = read_double(decimal, digits, p, &value); !fault.empty())
    return set_fault(fault, pos_);
  if (out != nullptr)
    put(out, negative ? -value : value);
  return true;
}

bool JsonScanner::literal_into(JsonValue* out) {
  const char first = text_[pos_];
  const std::string_view word = first == 't' ? "true" : first == 'f' ? "false" : "null";
  for (size_t i = 1; i < word.size(); ++i) {
    if (pos_ + i >= text_.size())
      return set_fault(JSON_EOF_IN_VALUE, text_.size());
    if (text_[pos_ + i] != word[i])
      return set_fault(JSON_EXPECTED_IDENT, pos_ + i + 1);
  }
  pos_ += word.size();
  if (out != nullptr && first == 'n')
    put(out, nullptr);
  else if (out != nullptr)
    put(out, first == 't');
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
  if (!is_json_number_start(peek()))
    return expect_value_fault();
  JsonValue value;
  if (!number_into(&value))
    return take_fault();
  return value;
}

Result<JsonValue> JsonScanner::scan_literal() {
  if (const int c = peek(); c != 't' && c != 'f' && c != 'n')
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
  JsonBuild::raw_copy(&doc_->root, &node, 1);
  JsonValue value;
  JsonBuild::own_root(&value, std::exchange(doc_, nullptr));
  return value;
}

Result<void> JsonScanner::skip_value(int open) {
  return value_into(nullptr, open) ? Result<void>() : take_fault();
}

Result<void> JsonScanner::begin_container(int open) {
  if (const int c = peek(); c != '[' && c != '{')
    return expect_value_fault();
  return open_step(open) ? Result<void>() : take_fault();
}

Result<void> JsonScanner::scan_colon() {
  return colon_step() ? Result<void>() : take_fault();
}

Result<void> JsonScanner::skip_member() {
  return colon_step() ? skip_value(depth_) : take_fault();
}

Result<void> JsonScanner::finish() {
  return skip_whitespace() == -1 ? Result<void>() : fault(JSON_TRAILING_CHARACTERS, pos_ + 1);
}

}  // namespace brask
