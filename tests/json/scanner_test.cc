#include "json/scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/parse.h"
#include "json/render.h"

namespace brask {
namespace {

TEST(JsonScanner, FaultCountsLinesAndBytes) {
  const std::string text = "ab\ncd\n\nxyz";
  const struct {
    size_t consumed;
    std::string_view want;
  } cases[] = {
      {0, "f at line 1 column 0"},  {2, "f at line 1 column 2"}, {3, "f at line 2 column 0"},
      {5, "f at line 2 column 2"},  {7, "f at line 4 column 0"}, {10, "f at line 4 column 3"},
      {99, "f at line 4 column 3"},
  };
  JsonScanner s(text);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.consumed);
    EXPECT_EQ(s.fault("f", c.consumed).text, c.want);
  }
}

// Reads {"id": string, "args": [strings]} the way the apps file reader does, through the
// walkers, reporting its own faults where parsing stopped. Every member and element is
// recorded in the order the walkers hand them over, so a skipped or repeated one shows.
Result<std::vector<std::string>> read_record(std::string_view text) {
  JsonScanner s(text);
  if (s.skip_whitespace() != '{')
    return s.expect_value_fault();
  std::vector<std::string> seen;
  Result<void> read = s.read_object([&](std::string_view key) -> Result<void> {
    for (const auto& k : seen) {
      if (k == key)
        return s.fault("duplicate field `" + std::string(key) + "`", s.offset());
    }
    const std::string name(key);
    Result<void> value;
    if (name == "id") {
      if (auto colon = s.scan_colon(); !colon.ok())
        return colon;
      if (s.skip_whitespace() != '"')
        return s.fault("`id` must be a string", s.offset());
      auto id = s.scan_string();
      if (!id.ok())
        return id.failure();
      seen.push_back("id=" + *id);
    } else if (name == "args") {
      if (auto colon = s.scan_colon(); !colon.ok())
        return colon;
      if (s.skip_whitespace() != '[')
        return s.fault("`args` must be a list", s.offset());
      value = s.read_array([&]() -> Result<void> {
        if (s.skip_whitespace() != '"')
          return s.fault("bad argument", s.offset());
        auto arg = s.scan_string();
        if (!arg.ok())
          return arg.failure();
        seen.push_back("arg=" + *arg);
        return {};
      });
    } else {
      value = s.skip_member();
    }
    if (value.ok())
      seen.push_back(name);
    return value;
  });
  if (!read.ok())
    return read.failure();
  if (auto end = s.finish(); !end.ok())
    return end.failure();
  return seen;
}

TEST(JsonScanner, ReadsAnObjectMemberByMember) {
  auto ok =
      read_record(R"( {"id": "a\u00e9", "x": {"deep": [1, {"y": null}]}, "args": ["-v", ""]} )");
  ASSERT_TRUE(ok.ok()) << ok.error();
  EXPECT_EQ(*ok, (std::vector<std::string>{"id=a\xc3\xa9", "id", "x", "arg=-v", "arg=", "args"}));
  // Empty containers hand nothing over.
  EXPECT_EQ(*read_record(" {} "), std::vector<std::string>{});
  EXPECT_EQ(*read_record(R"({"args": [ ]})"), std::vector<std::string>{"args"});

  const struct {
    std::string_view in, want;
  } faults[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"[]", "expected value at line 1 column 1"},
      {R"({"id":"a","id":"b"})", "duplicate field `id` at line 1 column 14"},
      {"{\"id\":\n 5}", "`id` must be a string at line 2 column 1"},
      {R"({"args": {}})", "`args` must be a list at line 1 column 9"},
      {R"({"args": ["a",]})", "trailing comma at line 1 column 15"},
      {R"({"args": ["a" "b"]})", "expected `,` or `]` at line 1 column 15"},
      {R"({"args": ["a")", "EOF while parsing a list at line 1 column 13"},
      {R"({"id":"a",})", "trailing comma at line 1 column 11"},
      {R"({"id":"a" "x":1})", "expected `,` or `}` at line 1 column 11"},
      {R"({"id" "a"})", "expected `:` at line 1 column 7"},
      {R"({"x": [1 2]})", "expected `,` or `]` at line 1 column 10"},
      {R"({"x": tru})", "expected ident at line 1 column 10"},
      {R"({"x": 1e999})", "number out of range at line 1 column 11"},
      {R"({"x": "\q"})", "invalid escape at line 1 column 9"},
      {R"({5:1})", "key must be a string at line 1 column 2"},
      {R"({"id":"a"} x)", "trailing characters at line 1 column 12"},
      {"{\"x\":1", "EOF while parsing an object at line 1 column 6"},
  };
  for (const auto& c : faults) {
    SCOPED_TRACE(c.in);
    auto r = read_record(c.in);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), c.want);
  }
}

TEST(JsonScanner, SkipValueReportsWhatParseReports) {
  const std::string_view texts[] = {
      "[1,2,{\"a\":[true,false,null,\"s\\n\"]}]",
      "[1,]",
      "{\"a\" 1}",
      "[\"\\ud800x\"]",
      "[\"\xff\"]",
      "[01]",
      "[-1e999]",
      "nul",
      "{} x",
      "[\"\\u00e9\", -0, 1.5e-400]",
  };
  for (std::string_view text : texts) {
    SCOPED_TRACE(text);
    auto parsed = parse_json(text);
    JsonScanner s(text);
    Result<void> skipped = s.skip_value();
    if (skipped.ok())
      skipped = s.finish();
    ASSERT_EQ(skipped.ok(), parsed.ok());
    if (!parsed.ok()) {
      EXPECT_EQ(skipped.error(), parsed.error());
    }
  }
}

TEST(JsonScanner, CallerOpenContainersCountAgainstTheDepth) {
  const std::string inner126 = std::string(126, '[') + std::string(126, ']');
  const std::string inner127 = std::string(127, '[') + std::string(127, ']');
  EXPECT_TRUE(JsonScanner(inner126).skip_value(1).ok());
  auto skipped = JsonScanner(inner127).skip_value(1);
  ASSERT_FALSE(skipped.ok());
  EXPECT_EQ(skipped.error(), "recursion limit exceeded at line 1 column 127");
  auto parsed = JsonScanner(inner127).parse_value(1);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), "recursion limit exceeded at line 1 column 127");

  JsonScanner s("{}");
  auto open = s.begin_container(MAX_JSON_DEPTH - 1);
  ASSERT_FALSE(open.ok());
  EXPECT_EQ(open.error(), "recursion limit exceeded at line 1 column 1");
  EXPECT_TRUE(s.begin_container(MAX_JSON_DEPTH - 2).ok());
}

TEST(JsonScanner, ScansLeaveTheOffsetAfterTheToken) {
  JsonScanner s(R"( "k\"" -12.5e1, true)");
  EXPECT_EQ(s.skip_whitespace(), '"');
  auto key = s.scan_string();
  ASSERT_TRUE(key.ok()) << key.error();
  EXPECT_EQ(*key, "k\"");
  EXPECT_EQ(s.offset(), 6u);
  s.skip_whitespace();
  auto number = s.scan_number();
  ASSERT_TRUE(number.ok()) << number.error();
  EXPECT_EQ(render_compact(*number), "-125.0");
  EXPECT_EQ(s.text()[s.offset() - 1], '1');
  EXPECT_EQ(s.peek(), ',');
  s.advance();
  s.skip_whitespace();
  auto literal = s.scan_literal();
  ASSERT_TRUE(literal.ok()) << literal.error();
  EXPECT_EQ(*literal, JsonValue(true));
  EXPECT_TRUE(s.at_end());
  EXPECT_EQ(s.peek(), -1);
  s.advance(5);
  EXPECT_EQ(s.offset(), s.text().size());
}

TEST(JsonScanner, ScanningTheWrongTokenIsAFaultNotACrash) {
  JsonScanner s("[x");
  auto str = s.scan_string();
  ASSERT_FALSE(str.ok());
  EXPECT_EQ(str.error(), "expected value at line 1 column 1");
  EXPECT_FALSE(s.scan_number().ok());
  EXPECT_FALSE(s.scan_literal().ok());
  s.advance();
  EXPECT_FALSE(s.begin_container(0).ok());
  s.advance();
  auto at_end = s.scan_string();
  ASSERT_FALSE(at_end.ok());
  EXPECT_EQ(at_end.error(), "EOF while parsing a value at line 1 column 2");
}

}  // namespace
}  // namespace brask
