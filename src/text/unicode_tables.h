// unicode_tables.h: character data generated from the Unicode Character Database into
// unicode_tables.cc by tools/gen-unicode-tables.py. Only text.cc reads it; everyone else
// goes through text.h. Constant tables; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brask {

constexpr char32_t MAX_CODE_POINT = 0x10FFFF;

// Bits of unicode_properties(); the generator writes them in this order.
constexpr uint8_t UNICODE_WHITE_SPACE = 1 << 0;
constexpr uint8_t UNICODE_ALPHABETIC = 1 << 1;
constexpr uint8_t UNICODE_NUMERIC = 1 << 2;  // general category Nd, Nl or No
constexpr uint8_t UNICODE_GRAPHEME_EXTEND = 1 << 3;
constexpr uint8_t UNICODE_NOT_PRINTABLE = 1 << 4;  // Cc Cf Cs Co Cn Zl Zp, Zs but U+0020
constexpr uint8_t UNICODE_CASED = 1 << 5;
constexpr uint8_t UNICODE_CASE_IGNORABLE = 1 << 6;
constexpr uint8_t UNICODE_CHANGES_WHEN_LOWERED = 1 << 7;

// The bits that hold for `c`; values above U+10FFFF are only not printable.
uint8_t unicode_properties(char32_t c);

// Writes the lower-case mapping of `c` to `out` (one to three code points, `c` itself when
// it has none) and returns the count. Context-dependent mappings are the caller's.
size_t unicode_lower(char32_t c, char32_t out[3]);

}  // namespace brask
