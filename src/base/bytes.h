// bytes.h: byte-level helpers shared by the JSON and text layers: eight ASCII bytes at a
// time in a 64-bit word, the UTF-8 encoder, and the vector scans for the bytes that end a
// plain run inside a JSON string. Pure; safe from any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brask {

inline constexpr uint64_t BYTE_ONES = 0x0101010101010101ull;
inline constexpr uint64_t BYTE_HIGH_BITS = 0x80 * BYTE_ONES;

// For eight ASCII bytes, 0x80 in each byte from `low` to `high`. Per byte, 0x80 is set in
// `x + (0x80 - low)` when x >= low and in `x + (0x7f - high)` when x > high; no sum
// carries into the next byte because every x is below 0x80.
constexpr uint64_t bytes_in_range(uint64_t x, unsigned char low, unsigned char high) {
  return (x + (0x80 - low) * BYTE_ONES) & ~(x + (0x7f - high) * BYTE_ONES) & BYTE_HIGH_BITS;
}

// Eight ASCII bytes lower-cased: 0x20 added to each of A-Z.
constexpr uint64_t lower_ascii8(uint64_t x) {
  return x | bytes_in_range(x, 'A', 'Z') >> 2;
}

inline uint64_t load8(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

inline uint32_t load4(const char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// Digits eight bytes at a time. `w` is eight bytes loaded little-endian (the first byte is
// the lowest); `digit_bytes(w)` maps '0'-'9' to 0-9 without a borrow between bytes.
constexpr uint64_t digit_bytes(uint64_t w) {
  return w ^ (0x30 * BYTE_ONES);
}

// How many of the first bytes of `digit_bytes(w)` are digits (0 to 8): a byte is not one
// when its high bit is set or when adding 0x76 to its low seven bits reaches 0x80.
constexpr int leading_digits(uint64_t d) {
  const uint64_t not_digit = (((d & (0x7F * BYTE_ONES)) + 0x76 * BYTE_ONES) | d) & BYTE_HIGH_BITS;
  return not_digit == 0 ? 8 : std::countr_zero(not_digit) >> 3;
}

// The value of the first `n` (1 to 8) digits of `digit_bytes(w)`: moved to the top so that
// zeros lead, then pairs, quads and the whole combined, one multiply per step.
constexpr uint32_t digits_value(uint64_t d, int n) {
  static_assert(std::endian::native == std::endian::little);
  d <<= 64 - 8 * n;
  d = d * 10 + (d >> 8);
  d = ((d & 0x000000FF000000FFull) * (100 + (1000000ull << 32)) +
       ((d >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32))) >>
      32;
  return static_cast<uint32_t>(d);
}

// Writes scalar value `c` as UTF-8 at `p` (room for four bytes) and returns the end.
inline char* put_utf8(char* p, char32_t c) {
  if (c < 0x80) {
    *p++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *p++ = static_cast<char>(0xC0 | (c >> 6));
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (c >> 12));
    *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (c >> 18));
    *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return p;
}

// First byte at or after `p` that is `"`, `\` or below 0x20 (what a JSON string must
// escape), or `end` when there is none. With `TRACK_NON_ASCII`, `*non_ascii` is also set
// when a byte of 0x80 or more lies before it (a reader checks those as UTF-8), and left
// alone otherwise. 32 bytes per step, then 16.
template <bool TRACK_NON_ASCII>
const char* find_json_string_stop(const char* p, const char* end, bool* non_ascii = nullptr) {
  unsigned high = 0;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  auto stops = [&](__m128i v) {
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
    // Unsigned, v <= 0x1F exactly when min(v, 0x1F) == v.
    __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(special, low)));
  };
  auto found = [&](unsigned mask, unsigned high_bits) {
    const unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
    if (TRACK_NON_ASCII && (high != 0 || (high_bits & ((1u << at) - 1)) != 0))
      *non_ascii = true;
    return p + at;
  };
  while (end - p >= 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const unsigned mask = stops(a) | (stops(b) << 16);
    const unsigned high_bits =
        TRACK_NON_ASCII ? static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(a, b))) : 0;
    if (mask != 0) {
      // Exact per byte only where it matters: before the stop.
      return found(mask, TRACK_NON_ASCII ? static_cast<unsigned>(_mm_movemask_epi8(a)) |
                                               (static_cast<unsigned>(_mm_movemask_epi8(b)) << 16)
                                         : 0);
    }
    high |= high_bits;
    p += 32;
  }
  if (end - p >= 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned mask = stops(a);
    const unsigned high_bits = TRACK_NON_ASCII ? static_cast<unsigned>(_mm_movemask_epi8(a)) : 0;
    if (mask != 0)
      return found(mask, high_bits);
    high |= high_bits;
    p += 16;
  }
  if (TRACK_NON_ASCII && high != 0)
    *non_ascii = true;
#endif
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20)
      return p;
    if (TRACK_NON_ASCII && c >= 0x80)
      *non_ascii = true;
  }
  return end;
}

// Whether [p, run_end) is well-formed UTF-8: no overlong forms, encoded surrogates or code
// points above U+10FFFF. Reads stay below `text_end` (at or after `run_end`). Sixteen bytes
// at a time where the processor has SSSE3, else `valid_utf8_scalar`.
bool valid_utf8(const char* p, const char* run_end, const char* text_end);
bool valid_utf8_scalar(const char* p, const char* run_end, const char* text_end);

}  // namespace brask
