// text.h: Unicode text helpers on UTF-8 `std::string_view`s, backed by tables
// generated from the Unicode Character Database (unicode_tables.cc). ASCII takes a
// fast path without table look-ups. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brask {

// Decodes the code point starting at `text[*pos]` and advances `*pos` past it.
// Invalid or truncated UTF-8 yields U+FFFD and advances by one byte; at or past the end it
// yields U+FFFD and leaves `*pos` at `text.size()`.
char32_t decode_utf8(std::string_view text, size_t* pos);
// Surrogates and values above U+10FFFF are written as U+FFFD.
void append_utf8(std::string* out, char32_t code_point);

// Character properties.
bool is_white_space(char32_t c);      // White_Space
bool is_alphabetic(char32_t c);       // Alphabetic
bool is_numeric(char32_t c);          // general category Nd, Nl or No
bool is_alphanumeric(char32_t c);     // is_alphabetic || is_numeric
bool is_grapheme_extend(char32_t c);  // Grapheme_Extend
bool is_not_printable(char32_t c);    // Cc Cf Cs Co Cn Zl Zp, and Zs other than U+0020

// `text` without White_Space characters at both ends.
std::string_view trim_white_space(std::string_view text);

// True when `line` (one line of the agent's or an app's, with or without its line feed)
// holds only spaces, tabs, carriage returns and form feeds: a line that carries no
// message and is skipped. Form feeds are not JSON white space, but a line of them is skipped
// rather than answered as a message that does not parse.
bool is_blank_line(std::string_view line);

// Full default lower-casing: simple mappings, unconditional SpecialCasing mappings
// (U+0130 becomes two code points) and the Final_Sigma rule. Bytes that are not valid
// UTF-8 are copied unchanged.
std::string to_lower(std::string_view text);

// Maximal runs of alphanumeric characters, in order.
std::vector<std::string_view> split_words(std::string_view text);

// Number of code points, and the first `count` code points of `text`.
size_t count_chars(std::string_view text);
std::string_view first_chars(std::string_view text, size_t count);

// The escaped form used in "not a valid app id" and in apps-file type errors:
// \0 \t \r \n, backslash and both quotes backslashed, Grapheme_Extend and not
// printable characters as \u{x} (lower-case hex, no leading zeros), the rest as is.
// Invalid UTF-8 is shown as in lossy_utf8.
std::string escape_debug(std::string_view text);

// `bytes` with every byte sequence that is not valid UTF-8 shown as U+FFFD: one for each
// maximal subpart (a truncated sequence is one U+FFFD, a stray byte another).
std::string lossy_utf8(std::string_view bytes);

}  // namespace brask
