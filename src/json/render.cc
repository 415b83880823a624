#include "json/render.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "base/bytes.h"
#include "json/decimal.h"

namespace brask {
namespace {

// Appends to a string through a raw pointer: std::string's own push_back and append are
// out-of-line calls, which dominated rendering documents of many short strings. The string
// is grown ahead in steps and cut to length when the writer goes.
class Writer {
 public:
  explicit Writer(std::string* out)
      : out_(out), buf_(out->data()), len_(out->size()), cap_(out->size()) {}
  ~Writer() { out_->resize(len_); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Room for `n` more bytes; write them at the returned pointer, then `commit(n)`.
  [[gnu::always_inline]] char* room(size_t n) {
    if (cap_ - len_ < n)
      grow(n);
    return buf_ + len_;
  }
  void commit(size_t n) { len_ += n; }
  void put(char c) {
    *room(1) = c;
    ++len_;
  }
  void write(const char* p, size_t n) {
    std::memcpy(room(n), p, n);
    len_ += n;
  }

 private:
  // Capacity doubles, but only the bytes about to be written are zero-filled, so pages of
  // unused capacity are never touched. A step of room is left after a large write too:
  // otherwise the closing bytes after a long string would double a buffer that is nearly
  // all string, holding it twice while it is copied.
  [[gnu::noinline]] void grow(size_t n) {
    static constexpr size_t STEP_BYTES = 64 * 1024;
    size_t want = len_ + n + std::clamp(len_, size_t{64}, STEP_BYTES);
    if (want > out_->capacity())
      out_->reserve(std::max(want, out_->capacity() * 2));
    out_->resize(want);
    buf_ = out_->data();
    cap_ = out_->size();
  }

  std::string* out_;
  char* buf_;
  size_t len_;  // bytes written, out_->size() only once the writer is gone
  size_t cap_;
};

// Writes the escape for `c` at `o`; returns the end.
char* put_escape(unsigned char c, char* o) {
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  static constexpr char SHORT[] = {'b', 't', 'n', 0, 'f', 'r'};  // 0x08-0x0D, not 0x0B
  *o++ = '\\';
  if (c == '"' || c == '\\') {
    *o++ = static_cast<char>(c);
  } else if (c >= '\b' && c <= '\r' && c != 0x0B) {
    *o++ = SHORT[c - '\b'];
  } else {
    *o++ = 'u';
    *o++ = '0';
    *o++ = '0';
    *o++ = HEX_DIGITS[c >> 4];
    *o++ = HEX_DIGITS[c & 0xF];
  }
  return o;
}

// Strings with escapes are written this many bytes at a time.
constexpr ptrdiff_t ESCAPED_PIECE_BYTES = 4096;

// Whether any of the eight bytes of `x` is `"`, `\` or below 0x20. `(v - k) & ~v` sets a
// byte's high bit only at or above a byte below k, so the test is exact as a whole.
constexpr bool has_string_stop8(uint64_t x) {
  auto below = [](uint64_t v, uint64_t k) { return (v - k * BYTE_ONES) & ~v & BYTE_HIGH_BITS; };
  return (below(x, 0x20) | below(x ^ ('"' * BYTE_ONES), 1) | below(x ^ ('\\' * BYTE_ONES), 1)) != 0;
}

constexpr size_t SHORT_STRING_MAX = 16;

// Short strings (keys, names, types) are the bulk of most documents: they are checked a
// word at a time and copied by overlapping fixed-size moves, never byte by byte or through
// a call. Reads stay within the string.
[[gnu::always_inline]] inline bool short_has_stop(const char* p, size_t n) {
  static_assert(SHORT_STRING_MAX <= 16);  // two words cover it
  if (n >= 8)
    return has_string_stop8(load8(p)) || has_string_stop8(load8(p + n - 8));
  if (n >= 4)
    return has_string_stop8(load4(p) | uint64_t{load4(p + n - 4)} << 32);
  if (n == 0)
    return false;
  const auto byte = [](char c) { return uint64_t{static_cast<unsigned char>(c)}; };
  return has_string_stop8(0x6161616161000000ull | byte(p[0]) | byte(p[n / 2]) << 8 |
                          byte(p[n - 1]) << 16);  // 'a' fills the rest
}

[[gnu::always_inline]] inline void copy_short(char* o, const char* p, size_t n) {
  if (n >= 8) {
    const uint64_t head = load8(p), tail = load8(p + n - 8);
    std::memcpy(o, &head, 8);
    std::memcpy(o + n - 8, &tail, 8);
  } else if (n >= 4) {
    const uint32_t head = load4(p), tail = load4(p + n - 4);
    std::memcpy(o, &head, 4);
    std::memcpy(o + n - 4, &tail, 4);
  } else if (n > 0) {
    o[0] = p[0];
    o[n / 2] = p[n / 2];
    o[n - 1] = p[n - 1];
  }
}

void append_escaped(std::string_view s, const char* hit, Writer* w);

// Writes `s` quoted, then `after` (0 for nothing).
[[gnu::always_inline]] inline void append_string(std::string_view s, Writer* w, char after = 0) {
  const char* const p = s.data();
  const size_t n = s.size();
  const char* const hit = n > SHORT_STRING_MAX   ? find_json_string_stop<false>(p, p + n)
                          : short_has_stop(p, n) ? p
                                                 : p + n;
  if (hit != p + n) {
    append_escaped(s, hit, w);
    if (after != 0)
      w->put(after);
    return;
  }
  char* const out = w->room(n + 3);
  out[0] = '"';
  if (n <= SHORT_STRING_MAX)
    copy_short(out + 1, p, n);
  else
    std::memcpy(out + 1, p, n);
  out[n + 1] = '"';
  out[n + 2] = after;
  w->commit(n + 2 + (after != 0));
}

// `s` quoted, with the escapes it needs; `hit` is its first byte to escape or a byte before.
// Written in pieces, each with room for its worst case taken once.
[[gnu::noinline]] void append_escaped(std::string_view s, const char* hit, Writer* w) {
  const char* p = s.data();
  const char* const end = p + s.size();
  w->put('"');
  w->write(p, static_cast<size_t>(hit - p));
  p = hit;
  while (p != end) {
    const char* const piece_end = end - p > ESCAPED_PIECE_BYTES ? p + ESCAPED_PIECE_BYTES : end;
    char* const out = w->room(static_cast<size_t>(piece_end - p) * 6);
    char* o = out;
    for (;;) {
      const char* const stop = find_json_string_stop<false>(p, piece_end);
      std::memcpy(o, p, static_cast<size_t>(stop - p));
      o += stop - p;
      p = stop;
      if (stop == piece_end)
        break;
      o = put_escape(static_cast<unsigned char>(*p++), o);
    }
    w->commit(static_cast<size_t>(o - out));
  }
  w->put('"');
}

template <class Integer>
void append_integer(Integer n, Writer* w) {
  char* out = w->room(24);
  if (n >= 0 && n < 10) {  // counts, flags and indexes are mostly one digit
    *out = static_cast<char>('0' + n);
    w->commit(1);
    return;
  }
  w->commit(static_cast<size_t>(std::to_chars(out, out + 24, n).ptr - out));
}

void write_double(double value, Writer* w);

void append_scalar(const JsonValue& value, Writer* w) {
  switch (value.kind()) {
    case JsonKind::Null:
      w->write("null", 4);
      break;
    case JsonKind::Bool:
      w->write(*value.as_bool() ? "true" : "false", *value.as_bool() ? 4 : 5);
      break;
    case JsonKind::Unsigned:
      append_integer(*value.as_unsigned(), w);
      break;
    case JsonKind::Signed:
      append_integer(*value.as_signed(), w);
      break;
    case JsonKind::Double:
      write_double(*value.as_double(), w);
      break;
    case JsonKind::String:
      append_string(*value.as_string(), w);
      break;
    default:  // containers are walked by the callers
      break;
  }
}

void append_indent(int level, Writer* w) {
  size_t n = static_cast<size_t>(level) * 2;
  std::memset(w->room(n), ' ', n);
  w->commit(n);
}

void append_pretty(const JsonValue& value, int level, Writer* w) {
  const auto array = value.as_array();
  const auto object = value.as_object();
  if (!array && !object) {
    append_scalar(value, w);
    return;
  }
  const size_t n = array ? array->size() : object->size();
  w->write(array ? "[\n" : "{\n", n == 0 ? 1 : 2);
  for (size_t i = 0; i < n; ++i) {
    if (i > 0)
      w->write(",\n", 2);
    append_indent(level + 1, w);
    if (object) {
      append_string((*object)[i].key(), w);
      w->write(": ", 2);
    }
    append_pretty(array ? (*array)[i] : (*object)[i].value(), level + 1, w);
  }
  if (n > 0) {
    w->put('\n');
    append_indent(level, w);
  }
  w->put(array ? ']' : '}');
}

// What a container or long string holds lies elsewhere in the document; asked for one
// sibling ahead, it is mostly in cache when its turn comes.
void prefetch_contents(const JsonValue& value) {
  if (auto object = value.as_object())
    __builtin_prefetch(object->begin());
  else if (auto array = value.as_array())
    __builtin_prefetch(array->data());
  else if (auto string = value.as_string())
    __builtin_prefetch(string->data());
}

void append_compact(const JsonValue& value, Writer* w) {
  if (auto array = value.as_array()) {
    w->put('[');
    bool first = true;
    for (const JsonValue& element : *array) {
      if (&element + 1 != array->data() + array->size())
        prefetch_contents(*(&element + 1));
      if (!first)
        w->put(',');
      first = false;
      if (element.kind() < JsonKind::Array)
        append_scalar(element, w);
      else
        append_compact(element, w);
    }
    w->put(']');
  } else if (auto object = value.as_object()) {
    if (object->empty()) {
      w->write("{}", 2);
      return;
    }
    char before = '{';
    for (const JsonMember& at : *object) {
      if (&at + 1 != object->end())
        prefetch_contents((&at + 1)->value());
      const std::string_view key = at.key();
      const JsonValue& member = at.value();
      w->put(before);
      before = ',';
      append_string(key, w, ':');
      if (member.kind() < JsonKind::Array)
        append_scalar(member, w);
      else
        append_compact(member, w);
    }
    w->put('}');
  } else {
    append_scalar(value, w);
  }
}

// Most doubles in documents are short decimals (0.25, 1.5, 3600.0), found more cheaply than
// by the general search. If positive `value` is m / 10^k with m < 2^50, m is the only integer
// within a quarter of value * 10^k, and one correctly rounded division proves it reads back.
// Without trailing zeros and under 15 digits, no other digits that read back are as short.
bool short_decimal(double value, char* digits, int* n, int* exponent) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int e2 = static_cast<int>(bits >> 52) - 1023;  // value < 2^(e2 + 1)
  if (e2 > 48)
    return false;
  int scale = std::min(22, (49 - e2) * 78913 >> 18);  // 78913 / 2^18 is just below log10(2)
  const double scaled = value * EXACT_POWERS_OF_TEN[scale];
  if (!(scaled < 0x1p50))
    return false;
  uint64_t m = static_cast<uint64_t>(scaled + 0.5);  // exact: scaled's ulp is at most 1/8
  if (m == 0 || static_cast<double>(m) / EXACT_POWERS_OF_TEN[scale] != value)
    return false;
  for (; m % 10000 == 0; m /= 10000)
    scale -= 4;
  for (; m % 10 == 0; m /= 10)
    --scale;
  if (m >= 100'000'000'000'000)
    return false;
  *n = static_cast<int>(std::to_chars(digits, digits + 16, m).ptr - digits);
  *exponent = *n - 1 - scale;
  return true;
}

void write_double(double value, Writer* w) {
  if (!std::isfinite(value)) {
    w->write("null", 4);
    return;
  }
  if (value == 0) {
    w->write(std::signbit(value) ? "-0.0" : "0.0", std::signbit(value) ? 4 : 3);
    return;
  }
  // Room for a sign, at most 17 digits and 15 trailing zeros or 5 leading ones, a point and
  // a zero, 36 bytes; runs are copied as fixed blocks of 20 (digits) and 16 (zeros), which
  // stay within 40 in every layout below.
  char* const out = w->room(40);
  char* o = out;
  if (value < 0)
    *o++ = '-';
  // The shortest digits that read back as the value, and the power of ten of the first.
  char digits[40] = {};  // the first 17 are read; the rest only ride along in block copies
  int n = 0, exponent = 0;
  if (!short_decimal(std::fabs(value), digits, &n, &exponent)) {
    char sci[32];  // e.g. "1.2345e-07"
    const char* const end =
        std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific).ptr;
    const char* const e = std::find(static_cast<const char*>(sci), end, 'e');
    for (const char* p = sci; p < e; ++p)
      if (*p != '.')
        digits[n++] = *p;
    std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
  }
  static constexpr char ZEROS[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                                     '0', '0', '0', '0', '0', '0', '0', '0'};
  if (exponent >= -5 && exponent <= 15) {
    if (n <= exponent + 1) {  // an integer: digits, zeros, ".0"
      std::memcpy(o, digits, 20);
      o += n;
      std::memcpy(o, ZEROS, 16);
      o += exponent + 1 - n;
      *o++ = '.';
      *o++ = '0';
    } else if (exponent < 0) {  // "0.", zeros, digits
      *o++ = '0';
      *o++ = '.';
      std::memcpy(o, ZEROS, 16);
      o += -exponent - 1;
      std::memcpy(o, digits, 20);
      o += n;
    } else {  // digits with the point among them
      std::memcpy(o, digits, 20);
      o += exponent + 1;
      *o++ = '.';
      std::memcpy(o, digits + exponent + 1, 20);
      o += n - exponent - 1;
    }
    w->commit(static_cast<size_t>(o - out));
    return;
  }
  *o++ = digits[0];
  if (n > 1) {
    *o++ = '.';
    std::memcpy(o, digits + 1, 20);
    o += n - 1;
  }
  *o++ = 'e';
  *o++ = exponent < 0 ? '-' : '+';
  w->commit(static_cast<size_t>(o - out));
  append_integer(exponent < 0 ? -exponent : exponent, w);
}

}  // namespace

void render_compact(const JsonValue& value, std::string* out) {
  // A large document renders to at most about its own size: room taken at once is not
  // copied and faulted in again at every doubling, and untouched room costs no memory. Up
  // to 24 MiB: glibc serves blocks below its 32 MiB mapping ceiling from the heap once one
  // of that size was freed, so the next large render reuses pages rather than faulting in
  // a fresh mapping (documents of many small numbers are 8 times their text).
  constexpr size_t RESERVE_FROM = 64 << 10, RESERVE_AT_MOST = 24 << 20;
  if (const size_t estimate = json_memory(value); estimate >= RESERVE_FROM)
    out->reserve(out->size() + std::min(estimate, RESERVE_AT_MOST));
  Writer w(out);
  append_compact(value, &w);
}

std::string render_compact(const JsonValue& value) {
  std::string out;
  render_compact(value, &out);
  return out;
}

std::string render_pretty(const JsonValue& value) {
  std::string out;
  {
    Writer w(&out);  // cuts `out` to length when it goes, so before the return
    append_pretty(value, 0, &w);
  }
  return out;
}

void append_double(double value, std::string* out) {
  Writer w(out);
  write_double(value, &w);
}

std::string format_double(double value) {
  std::string out;
  append_double(value, &out);
  return out;
}

}  // namespace brask
