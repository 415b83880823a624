#include "json/parse.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "json/render.h"
#include "support/paths.h"

namespace brask {
namespace {

std::string nested(int depth, char open, std::string_view inner, char close) {
  return std::string(static_cast<size_t>(depth), open) + std::string(inner) +
         std::string(static_cast<size_t>(depth), close);
}

TEST(ParseJson, FaultsNameTheTextAndPosition) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1, \n", "EOF while parsing a value at line 2 column 0"},
      {"{\n", "EOF while parsing an object at line 2 column 0"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"a\\", "EOF while parsing a string at line 1 column 3"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
      {"\"\\ud800\\udc", "EOF while parsing a string at line 1 column 11"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\"}", "expected `:` at line 1 column 5"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"nulx", "expected ident at line 1 column 4"},
      {"trUe", "expected ident at line 1 column 3"},
      {"fals", "EOF while parsing a value at line 1 column 4"},
      {"[nul]", "expected ident at line 1 column 5"},
      {"x", "expected value at line 1 column 1"},
      {"[,1]", "expected value at line 1 column 2"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"[\"\\uqqqq\"]", "invalid escape at line 1 column 8"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 7"},
      {"\"\\u\"abc", "invalid escape at line 1 column 7"},
      {"\"\\ud800\\uzzzz\"", "invalid escape at line 1 column 13"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-a", "invalid number at line 1 column 2"},
      {"[-]", "invalid number at line 1 column 3"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1.]", "invalid number at line 1 column 3"},
      {"[1e]", "invalid number at line 1 column 4"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1.5e999 ]", "number out of range at line 1 column 9"},
      {"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
      {"\"a\xff\"", "invalid unicode code point at line 1 column 4"},
      {"\"\xc3\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xff\\q\"", "invalid escape at line 1 column 4"},
      {"\"\xff\x01\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"a\nb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1,\n ]", "trailing comma at line 2 column 2"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"[]a", "trailing characters at line 1 column 3"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
      {"\n  " + std::string(128, '{'), "key must be a string at line 2 column 4"},
      {nested(127, '{', "", '}'), "key must be a string at line 1 column 2"},
      {std::string(127, '[') + "{", "recursion limit exceeded at line 1 column 128"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto v = parse_json(c.in);
    ASSERT_FALSE(v.ok()) << render_compact(*v);
    EXPECT_EQ(v.error(), c.want);
  }
}

TEST(ParseJson, NumbersKeepTheirKind) {
  const struct {
    std::string_view in;
    JsonKind kind;
    std::string_view rendered;
  } cases[] = {
      {"0", JsonKind::Unsigned, "0"},
      {"18446744073709551615", JsonKind::Unsigned, "18446744073709551615"},
      {"18446744073709551616", JsonKind::Double, "1.8446744073709552e+19"},
      {"-1", JsonKind::Signed, "-1"},
      {"-9223372036854775808", JsonKind::Signed, "-9223372036854775808"},
      {"-9223372036854775809", JsonKind::Double, "-9.223372036854776e+18"},
      {"-0", JsonKind::Double, "-0.0"},
      {"-0.0", JsonKind::Double, "-0.0"},
      {"1.0", JsonKind::Double, "1.0"},
      {"1e2", JsonKind::Double, "100.0"},
      {"1E+2", JsonKind::Double, "100.0"},
      {"0.1", JsonKind::Double, "0.1"},
      {"0.000001", JsonKind::Double, "1e-6"},
      {"1e-400", JsonKind::Double, "0.0"},
      {"-1e-400", JsonKind::Double, "-0.0"},
      {"0e99999999999999999999", JsonKind::Double, "0.0"},
      {"123e-99999999999999999999", JsonKind::Double, "0.0"},
      {"2.4703282292062328e-324", JsonKind::Double, "5e-324"},
      {"1.7976931348623157e308", JsonKind::Double, "1.7976931348623157e+308"},
      {"0.30000000000000004", JsonKind::Double, "0.30000000000000004"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto v = parse_json(c.in);
    ASSERT_TRUE(v.ok()) << v.error();
    EXPECT_EQ(v->kind(), c.kind);
    EXPECT_EQ(render_compact(*v), c.rendered);
  }
}

// Doubles are read by a fast exact path where they can be; every one must be the double
// std::from_chars gives for the same text, ties to even included.
TEST(ParseJson, DoublesAreCorrectlyRounded) {
  std::vector<std::string> texts = {
      // Ties between two doubles go to the even one.
      "9007199254740993.0",
      "9007199254740995.0",
      "9007199254740993e0",
      "900719925474099.3e1",
      "4503599627370497.5",
      "45035996273704965e-1",
      "45035996273704975e-1",
      "1.0000000000000002",
      "1.00000000000000011102230246251565404",
      "8.98846567431158e307",
      "1e-27",
      "9999999999999999999e-27",
      // The cut-off bits are exactly one half, and only what lies below them rounds up.
      "135198818546770e-27",
      "43040660445025196e-27",
      "503249264222975771e-27",
  };
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    std::string digits = std::to_string(rng() >> (rng() % 64));
    const size_t point = rng() % (digits.size() + 1);
    if (point < digits.size())
      digits.insert(point, point == 0 ? "0." : ".");
    const int exponent = static_cast<int>(rng() % 100) - 70;
    texts.push_back(rng() % 2 ? digits : digits + "e" + std::to_string(exponent));
  }
  for (const std::string& text : texts) {
    double want = 0;
    std::from_chars(text.data(), text.data() + text.size(), want);
    auto got = parse_json(text);
    ASSERT_TRUE(got.ok()) << text << ": " << got.error();
    const double* d = got->as_double();
    const uint64_t* u = got->as_unsigned();
    ASSERT_TRUE(d != nullptr || u != nullptr) << text;
    if (d != nullptr) {
      ASSERT_EQ(std::bit_cast<uint64_t>(*d), std::bit_cast<uint64_t>(want)) << text;
    }
  }
}

// Numbers of any length and either sign: long integer parts and fractions, runs of
// leading zeros, and exponents of any length and sign that put the value anywhere, near the
// edges of a double included. Each must read as from_chars reads it, or fail as out of
// range exactly where it is too large for a double (strtod tells which); too small reads
// as zero of its sign.
TEST(ParseJson, NumbersOfAnyLengthReadAsTheirOwnValue) {
  std::mt19937_64 rng(11);
  auto digits = [&](size_t n, bool nonzero_first) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
      s += static_cast<char>('0' + (i == 0 && nonzero_first ? 1 + rng() % 9 : rng() % 10));
    return s;
  };
  auto pick = [&](std::initializer_list<long long> choices) {
    return *(choices.begin() + static_cast<long>(rng() % choices.size()));
  };
  // The exponent as written: its sign, sometimes a `+`, sometimes leading zeros.
  auto exponent_text = [&](long long e) {
    std::string s = rng() % 2 ? "e" : "E";
    s += e < 0 ? "-" : rng() % 2 ? "+" : "";
    s += std::string(rng() % 4 == 0 ? rng() % 30 : 0, '0');
    return s + std::to_string(e < 0 ? -e : e);
  };
  std::vector<std::string> texts = {
      "0." + std::string(99999, '0') + "1e1000000",
      "0." + std::string(123455, '0') + "5e1234567",
      "0." + std::string(99999, '0') + "1e100308",
      "0." + std::string(99999, '0') + "1e100309",
      "1" + std::string(100000, '0') + "e-100000",
      "1" + std::string(100000, '0') + "e-100324",
      "1" + std::string(100000, '0') + "e-99692",
      "0.0001e" + std::string(40, '9'),
      "0.0001e-" + std::string(40, '9'),
      "0e" + std::string(40, '9'),
  };
  for (int i = 0; i < 40; ++i) {
    const size_t zeros = 99990 + rng() % 30000;
    const long long value_exponent = pick({-400, -325, -324, -308, 0, 308, 309, 400});
    texts.push_back("0." + std::string(zeros, '0') + digits(1 + rng() % 25, true) +
                    exponent_text(value_exponent + static_cast<long long>(zeros) + 1));
  }
  for (int i = 0; i < 30000; ++i) {
    // Integer part: "0" or up to 40 digits, now and then hundreds; a fraction after "0"
    // starts with a run of zeros and then a digit that is not.
    const bool zero_integer = rng() % 3 == 0;
    std::string text = zero_integer ? "0" : digits(1 + rng() % (rng() % 8 ? 40 : 400), true);
    const size_t zeros = rng() % (rng() % 8 ? 30 : 400);
    const size_t fraction = rng() % 3 == 0 ? 0 : 1 + rng() % (rng() % 8 ? 30 : 400);
    if (fraction > 0)
      text += "." + std::string(zero_integer ? zeros : 0, '0') + digits(fraction, zero_integer);
    // The exponent places the leading digit near an edge of the fast path or of a double,
    // or anywhere; some are longer than any text has digits.
    const long long leading =
        zero_integer ? (fraction > 0 ? -static_cast<long long>(zeros) - 1 : 0)
                     : static_cast<long long>(
                           text.find('.') == std::string::npos ? text.size() : text.find('.')) -
                           1;
    const long long target =
        pick({-325, -324, -323, -309, -308, -307, -64, -27, -22, 0, 22, 27, 307, 308, 309}) +
        pick({-2, -1, 0, 1, 2});
    switch (rng() % 4) {
      case 0:
        break;
      case 1:
        text += exponent_text(static_cast<long long>(rng() % 801) - 400 - leading);
        break;
      case 2:
        text += (rng() % 2 ? "e-" : "e") + digits(7 + rng() % 30, true);
        break;
      default:
        text += exponent_text(target - leading);
    }
    texts.push_back(rng() % 4 == 0 ? "-" + text : text);
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.size() > 80 ? text.substr(0, 40) + "..." + text.substr(text.size() - 40)
                                  : text);
    double want = 0;
    const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), want);
    ASSERT_EQ(stop, text.data() + text.size());
    auto got = parse_json(text);
    if (ec == std::errc::result_out_of_range && std::isinf(std::strtod(text.c_str(), nullptr))) {
      ASSERT_FALSE(got.ok()) << render_compact(*got);
      EXPECT_EQ(got.error(), "number out of range at line 1 column " + std::to_string(text.size()));
      continue;
    }
    if (ec == std::errc::result_out_of_range)
      want = text[0] == '-' ? -0.0 : 0.0;
    ASSERT_TRUE(got.ok()) << got.error();
    if (const double* d = got->as_double())
      ASSERT_EQ(std::bit_cast<uint64_t>(*d), std::bit_cast<uint64_t>(want)) << *d << " " << want;
    else if (const int64_t* i = got->as_signed())
      ASSERT_EQ(static_cast<double>(*i), want);
    else if (const uint64_t* u = got->as_unsigned())
      ASSERT_EQ(static_cast<double>(*u), want);
    else
      FAIL() << render_compact(*got);
  }
}

TEST(ParseJson, StringsDecodeEscapesAndCheckUtf8) {
  const struct {
    std::string_view name, in, want;
  } accepted[] = {
      {"escapes", R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {"U+0000 escaped", R"("a\u0000b")", std::string_view("a\0b", 3)},
      {"U+00E9 escaped, upper-case hex", R"("\u00E9")", "\xc3\xa9"},
      {"U+1F600 as a surrogate pair", R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {"U+FFFF", R"("\uffff")", "\xef\xbf\xbf"},
      {"raw U+00E9, U+4E2D, U+1F600", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\"",
       "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"},
      {"raw U+10FFFF", "\"\xf4\x8f\xbf\xbf\"", "\xf4\x8f\xbf\xbf"},
      {"DEL stays raw", "\"\x7f\"", "\x7f"},
      {"long text with an escape at the end", "\"0123456789abcdef0123456789abcdef0123456789\\n\"",
       "0123456789abcdef0123456789abcdef0123456789\n"},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.name);
    auto v = parse_json(c.in);
    ASSERT_TRUE(v.ok()) << v.error();
    ASSERT_NE(v->as_string(), nullptr);
    EXPECT_EQ(*v->as_string(), c.want);
  }
  const struct {
    std::string_view name, bytes;
  } invalid[] = {
      {"stray continuation byte", "\x80"},
      {"overlong U+002F in two bytes", "\xc0\xaf"},
      {"overlong U+07FF in three bytes", "\xe0\x9f\xbf"},
      {"overlong U+FFFF in four bytes", "\xf0\x8f\xbf\xbf"},
      {"U+D800 encoded directly", "\xed\xa0\x80"},
      {"U+DFFF encoded directly", "\xed\xbf\xbf"},
      {"U+110000", "\xf4\x90\x80\x80"},
      {"lead byte 0xF5", "\xf5\x80\x80\x80"},
      {"truncated U+4E2D", "\xe4\xb8"},
      {"truncated before an escape", "\xe4\xb8\\n"},
      {"0xFF after 40 ASCII bytes", "0123456789012345678901234567890123456789\xff"},
  };
  for (const auto& c : invalid) {
    SCOPED_TRACE(c.name);
    std::string text = "[\"" + std::string(c.bytes) + "\"]";
    auto v = parse_json(text);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error(),
              "invalid unicode code point at line 1 column " + std::to_string(text.size() - 1));
  }
  // A bad byte in one 32-byte block of the scan, the closing quote in the next.
  const std::string split =
      "[\"\xff" + std::string(31, 'a') + "\",\"" + std::string(40, 'b') + "\"]";
  auto parsed = parse_json(split);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), "invalid unicode code point at line 1 column 35");
}

TEST(ParseJson, ObjectsSortKeysAndKeepTheLastDuplicate) {
  auto v = parse_json(R"({"b":1,"a":{"d":2,"c":3},"ab":[],"a":{"x":null},"":0})");
  ASSERT_TRUE(v.ok()) << v.error();
  EXPECT_EQ(render_compact(*v), R"({"":0,"a":{"x":null},"ab":[],"b":1})");
  auto many = parse_json(R"({"t":1,"s":2,"r":3,"q":4,"p":5,"o":6,"n":7,"m":8,"l":9,"k":10,
      "j":11,"i":12,"h":13,"g":14,"f":15,"e":16,"d":17,"c":18,"b":19,"a":20,"t":0})");
  ASSERT_TRUE(many.ok()) << many.error();
  EXPECT_EQ(render_compact(*many),
            R"({"a":20,"b":19,"c":18,"d":17,"e":16,"f":15,"g":14,"h":13,"i":12,"j":11,)"
            R"("k":10,"l":9,"m":8,"n":7,"o":6,"p":5,"q":4,"r":3,"s":2,"t":0})");
  // Random keys around the 8- and 13-byte boundaries of the inline comparison, sharing
  // prefixes and holding U+0000 and bytes above 0x7F: ordered as std::string orders them,
  // the last of equal keys kept.
  std::mt19937 rng(3);
  const std::string_view alphabet[] = {"a", "b", "\\u0000", "\xc3\xa9", "\\u00ff"};
  for (int round = 0; round < 2000; ++round) {
    std::map<std::string, int> want;
    std::string text = "{";
    const int members = 1 + static_cast<int>(rng() % 20);
    for (int k = 0; k < members; ++k) {
      std::string key;
      for (size_t length = rng() % 16; key.size() < length;)
        key += alphabet[rng() % std::size(alphabet)];
      if (k > 0)
        text += ',';
      text += "\"" + key + "\":" + std::to_string(k);
      auto decoded = parse_json("\"" + key + "\"");
      want[std::string(*decoded->as_string())] = k;
    }
    auto v = parse_json(text + "}");
    ASSERT_TRUE(v.ok()) << v.error();
    std::vector<std::pair<std::string, int>> got;
    for (const auto& [key, value] : *v->as_object())
      got.emplace_back(key, static_cast<int>(*value.as_unsigned()));
    const std::vector<std::pair<std::string, int>> ordered(want.begin(), want.end());
    ASSERT_EQ(got, ordered) << text;
  }
}

TEST(ParseJson, DepthBudgetAllows127Containers) {
  for (const auto& text : {nested(127, '[', "", ']'), nested(126, '[', "{}", ']'),
                           nested(126, '[', R"({"a":1})", ']')}) {
    SCOPED_TRACE(text.size());
    auto v = parse_json(" " + text + " \n");
    EXPECT_TRUE(v.ok()) << v.error();
  }
  auto deep = parse_json(nested(128, '[', "", ']'));
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.error(), "recursion limit exceeded at line 1 column 128");
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ParseJson, FollowsThePublicTestSuite) {
  const auto dir = std::filesystem::path(testing::shared_testdata_dir()) / "json-test-suite";
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json")
      continue;
    SCOPED_TRACE(name);
    ++seen;
    auto v = parse_json(read_file(entry.path()));
    if (name.starts_with("y_")) {
      EXPECT_TRUE(v.ok()) << v.error();
      if (v.ok()) {
        // What we write must read back as the same value.
        auto again = parse_json(render_compact(*v));
        ASSERT_TRUE(again.ok()) << again.error();
        EXPECT_EQ(*again, *v);
      }
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(v.ok()) << render_compact(*v);
    }
  }
  EXPECT_EQ(seen, 318);
}

}  // namespace
}  // namespace brask
