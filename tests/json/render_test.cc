#include "json/render.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "json/parse.h"

namespace brask {
namespace {

TEST(RenderJson, CompactFormSortsKeysAndDropsSpaces) {
  const struct {
    std::string_view in, want;
  } cases[] = {
      {R"( [1, 2] )", "[1,2]"},
      {R"({"b":1,"a":{"d":2,"c":3}})", R"({"a":{"c":3,"d":2},"b":1})"},
      {R"({ "ab" : 1 , "a" : 2, "b": 3 })", R"({"a":2,"ab":1,"b":3})"},
      {" { } ", "{}"},
      {"[ [ ] , { } ]", "[[],{}]"},
      {"[true,false,null]", "[true,false,null]"},
      {"[-0,0,-1,1.0,1e2,2.50]", "[-0.0,0,-1,1.0,100.0,2.5]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto v = parse_json(c.in);
    ASSERT_TRUE(v.ok()) << v.error();
    EXPECT_EQ(render_compact(*v), c.want);
  }
}

TEST(RenderJson, StringsEscapeOnlyWhatMustBeEscaped) {
  const struct {
    std::string_view name, value, want;
  } cases[] = {
      {"quote and backslash", "a\"b\\c", R"("a\"b\\c")"},
      {"short escapes", "\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"U+0000, U+0001, U+000B, U+001B, U+001F", std::string_view("\0\x01\x0b\x1b\x1f", 5),
       R"("\u0000\u0001\u000b\u001b\u001f")"},
      {"solidus, DEL and U+00E9 stay raw", "/\x7f\xc3\xa9", "\"/\x7f\xc3\xa9\""},
      {"escape after a long plain run", "0123456789abcdef0123456789\"",
       R"("0123456789abcdef0123456789\"")"},
      {"empty", "", R"("")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(render_compact(JsonValue(std::string(c.value))), c.want);
  }
  // Strings with escapes are written 4 KiB at a time from the first escape: the worst case,
  // six bytes each, on both sides of a seam.
  std::string want = "\"\\n";
  for (int i = 0; i < 5000; ++i)
    want += "\\u0001";
  EXPECT_EQ(render_compact(JsonValue("\n" + std::string(5000, '\x01'))), want + '"');
  auto read = parse_json(R"(["\u001F","\u00e9","\/"])");
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(render_compact(*read), "[\"\\u001f\",\"\xc3\xa9\",\"/\"]");
}

// Short strings and keys are checked a word at a time: one byte to escape must be found
// wherever it sits, and bytes just above the limits (space, '#', ']') must pass.
TEST(RenderJson, ShortStringsFindAnEscapeAtEveryPosition) {
  for (size_t size = 1; size <= 24; ++size) {
    for (size_t at = 0; at < size; ++at) {
      for (char c : {'"', '\\', '\x01', '\x1f', ' ', '#', ']'}) {
        std::string text(size, 'k');
        text[at] = c;
        const std::string escaped = c == '"'      ? "\\\""
                                    : c == '\\'   ? "\\\\"
                                    : c == '\x01' ? "\\u0001"
                                    : c == '\x1f' ? "\\u001f"
                                                  : std::string(1, c);
        const std::string want = '"' + text.substr(0, at) + escaped + text.substr(at + 1) + '"';
        SCOPED_TRACE(want);
        EXPECT_EQ(render_compact(JsonValue(text)), want);
        EXPECT_EQ(render_compact(JsonObject{{text, 1}}), "{" + want + ":1}");
      }
    }
  }
}

TEST(RenderJson, DoublesUseShortestDigitsInTheGatewayLayout) {
  const struct {
    double value;
    std::string_view want;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {123456789012345.6, "123456789012345.6"},
      {1e-5, "0.00001"},
      {0.000123, "0.000123"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1.2345678901234568e+20, "1.2345678901234568e+20"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(format_double(c.value), c.want);
    std::string appended = "x";
    append_double(c.value, &appended);
    EXPECT_EQ(appended, "x" + std::string(c.want));
  }
}

// A decimal text's significant digits and the power of ten of the first: "0.0250" and
// "2.5e-2" are both {"25", -2}.
std::pair<std::string, int> significant_digits(std::string_view text) {
  const size_t e = text.find_first_of("eE");
  int exponent = e == std::string_view::npos ? 0 : std::stoi(std::string(text.substr(e + 1)));
  const std::string_view mantissa = text.substr(text[0] == '-', e - (text[0] == '-'));
  std::string digits;
  for (char c : mantissa)
    if (c != '.')
      digits += c;
  exponent += static_cast<int>(std::min(mantissa.find('.'), mantissa.size())) - 1;
  const size_t first = digits.find_first_not_of('0');
  exponent -= static_cast<int>(first);
  digits = digits.substr(first, digits.find_last_not_of('0') + 1 - first);
  return {digits, exponent};
}

// Short decimals take a quicker way to their digits than the general shortest-digits
// search; both must give the same digits, by value shape and across the edges of the quick
// way (2^50, 15 digits, powers of ten up to 22).
TEST(RenderJson, DoublesHaveTheShortestDigitsThatReadBack) {
  std::vector<double> values = {0.1,
                                0.25,
                                1.5,
                                3600.0,
                                1e15,
                                1e-7,
                                1.2e-7,
                                0.3,
                                1e22,
                                1e-22,
                                1e-23,
                                2.5e-16,
                                0x1p50,
                                0x1p50 - 1,
                                0x1p49 + 0.5,
                                123456789012345.0,
                                999999999999999.0,
                                0.000123456789012345,
                                4.35,
                                5e-324,
                                1.7976931348623157e308};
  uint64_t state = 88172645463325252ull;
  auto next = [&] {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 20000; ++i) {
    const double whole = static_cast<double>(next() >> (11 + next() % 50));
    values.push_back(whole / std::pow(10.0, static_cast<double>(next() % 23)));
    values.push_back(whole);
    double raw;
    const uint64_t bits = next();
    std::memcpy(&raw, &bits, sizeof raw);
    if (std::isfinite(raw))
      values.push_back(raw);
  }
  for (double v : values) {
    if (v == 0)
      continue;
    char reference[40];
    const char* end =
        std::to_chars(reference, reference + sizeof reference, v, std::chars_format::scientific)
            .ptr;
    const std::string ours = format_double(v);
    ASSERT_EQ(significant_digits(ours),
              significant_digits(std::string_view(reference, end - reference)))
        << ours;
    ASSERT_EQ(std::strtod(ours.c_str(), nullptr), v) << ours;
  }
}

TEST(RenderJson, IntegersAtTheLimits) {
  EXPECT_EQ(render_compact(JsonValue(std::numeric_limits<uint64_t>::max())),
            "18446744073709551615");
  EXPECT_EQ(render_compact(JsonValue(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
}

TEST(RenderJson, PrettyFormIndentsByTwoSpaces) {
  const struct {
    std::string_view in, want;
  } cases[] = {
      {"[]", "[]"},
      {"{}", "{}"},
      {"\"a\"", "\"a\""},
      {"[1]", "[\n  1\n]"},
      {R"({"b":[1,{}],"a":{"c":[]}})",
       "{\n  \"a\": {\n    \"c\": []\n  },\n  \"b\": [\n    1,\n    {}\n  ]\n}"},
      {R"([[["x\n"]]])", "[\n  [\n    [\n      \"x\\n\"\n    ]\n  ]\n]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto v = parse_json(c.in);
    ASSERT_TRUE(v.ok()) << v.error();
    EXPECT_EQ(render_pretty(*v), c.want);
  }
}

TEST(RenderJson, CompactAppendsToExistingText) {
  std::string out = "prefix ";
  render_compact(JsonValue(JsonArray{JsonValue(1), JsonValue("a")}), &out);
  EXPECT_EQ(out, R"(prefix [1,"a"])");
}

}  // namespace
}  // namespace brask
