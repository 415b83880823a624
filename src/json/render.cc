#include "json/render.h"

#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brask {
namespace {

// First byte at or after `p` that must be escaped: `"`, `\` or a byte below 0x20.
const char* find_escape(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // v <= 0x1F unsigned exactly when min(v, 0x1F) == v.
    __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                             _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
  }
  return end;
}

void append_string(const std::string& s, std::string* out) {
  static constexpr char HEX_DIGITS[] = "0123456789abcdef";
  out->push_back('"');
  const char* p = s.data();
  const char* const end = p + s.size();
  for (;;) {
    const char* hit = find_escape(p, end);
    out->append(p, hit);
    if (hit == end) break;
    unsigned char c = static_cast<unsigned char>(*hit);
    switch (c) {
      case '"':
        out->append("\\\"", 2);
        break;
      case '\\':
        out->append("\\\\", 2);
        break;
      case '\b':
        out->append("\\b", 2);
        break;
      case '\t':
        out->append("\\t", 2);
        break;
      case '\n':
        out->append("\\n", 2);
        break;
      case '\f':
        out->append("\\f", 2);
        break;
      case '\r':
        out->append("\\r", 2);
        break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0xF]};
        out->append(escape, 6);
      }
    }
    p = hit + 1;
  }
  out->push_back('"');
}

template <class Integer>
void append_integer(Integer n, std::string* out) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, n);
  out->append(buf, result.ptr);
}

void append_scalar(const JsonValue& value, std::string* out) {
  switch (value.kind()) {
    case JsonKind::Null:
      out->append("null", 4);
      break;
    case JsonKind::Bool:
      if (*value.as_bool()) {
        out->append("true", 4);
      } else {
        out->append("false", 5);
      }
      break;
    case JsonKind::Unsigned:
      append_integer(*value.as_unsigned(), out);
      break;
    case JsonKind::Signed:
      append_integer(*value.as_signed(), out);
      break;
    case JsonKind::Double:
      append_double(*value.as_double(), out);
      break;
    case JsonKind::String:
      append_string(*value.as_string(), out);
      break;
    case JsonKind::Array:
    case JsonKind::Object:
      break;
  }
}

void append_indent(int level, std::string* out) { out->append(static_cast<size_t>(level) * 2, ' '); }

void append_pretty(const JsonValue& value, int level, std::string* out) {
  if (const JsonArray* array = value.as_array()) {
    if (array->empty()) {
      out->append("[]", 2);
      return;
    }
    out->append("[\n", 2);
    for (size_t i = 0; i < array->size(); ++i) {
      if (i > 0) out->append(",\n", 2);
      append_indent(level + 1, out);
      append_pretty((*array)[i], level + 1, out);
    }
    out->push_back('\n');
    append_indent(level, out);
    out->push_back(']');
  } else if (const JsonObject* object = value.as_object()) {
    if (object->empty()) {
      out->append("{}", 2);
      return;
    }
    out->append("{\n", 2);
    bool first = true;
    for (const auto& [key, member] : *object) {
      if (!first) out->append(",\n", 2);
      first = false;
      append_indent(level + 1, out);
      append_string(key, out);
      out->append(": ", 2);
      append_pretty(member, level + 1, out);
    }
    out->push_back('\n');
    append_indent(level, out);
    out->push_back('}');
  } else {
    append_scalar(value, out);
  }
}

}  // namespace

void render_compact(const JsonValue& value, std::string* out) {
  if (const JsonArray* array = value.as_array()) {
    out->push_back('[');
    bool first = true;
    for (const JsonValue& element : *array) {
      if (!first) out->push_back(',');
      first = false;
      render_compact(element, out);
    }
    out->push_back(']');
  } else if (const JsonObject* object = value.as_object()) {
    out->push_back('{');
    bool first = true;
    for (const auto& [key, member] : *object) {
      if (!first) out->push_back(',');
      first = false;
      append_string(key, out);
      out->push_back(':');
      render_compact(member, out);
    }
    out->push_back('}');
  } else {
    append_scalar(value, out);
  }
}

std::string render_compact(const JsonValue& value) {
  std::string out;
  render_compact(value, &out);
  return out;
}

std::string render_pretty(const JsonValue& value) {
  std::string out;
  append_pretty(value, 0, &out);
  return out;
}

void append_double(double value, std::string* out) {
  if (!std::isfinite(value)) {
    out->append("null", 4);
    return;
  }
  if (value == 0) {
    out->append(std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "-1.2345e-07", then laid out again.
  char sci[32];
  auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  const char* const end = result.ptr;
  if (*p == '-') {
    out->push_back('-');
    ++p;
  }
  char digits[20];
  int n = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exponent);
  if (exponent >= -5 && exponent <= 15) {
    if (n <= exponent + 1) {
      out->append(digits, static_cast<size_t>(n));
      out->append(static_cast<size_t>(exponent + 1 - n), '0');
      out->append(".0", 2);
    } else if (exponent < 0) {
      out->append("0.", 2);
      out->append(static_cast<size_t>(-exponent - 1), '0');
      out->append(digits, static_cast<size_t>(n));
    } else {
      out->append(digits, static_cast<size_t>(exponent + 1));
      out->push_back('.');
      out->append(digits + exponent + 1, static_cast<size_t>(n - exponent - 1));
    }
    return;
  }
  out->push_back(digits[0]);
  if (n > 1) {
    out->push_back('.');
    out->append(digits + 1, static_cast<size_t>(n - 1));
  }
  out->push_back('e');
  out->push_back(exponent < 0 ? '-' : '+');
  append_integer(exponent < 0 ? -exponent : exponent, out);
}

std::string format_double(double value) {
  std::string out;
  append_double(value, &out);
  return out;
}

}  // namespace brask
