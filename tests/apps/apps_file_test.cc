#include "apps/apps_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brask {
namespace {

using Lines = std::vector<std::string>;

// "id|name|command|arg arg ..." per app, then "warning: ..." per warning.
Lines describe(const AppRegistry& registry) {
  Lines out;
  for (const AppEntry& app : registry.apps) {
    std::string line = app.id + "|" + app.name + "|" + app.command + "|";
    for (size_t i = 0; i < app.args.size(); ++i)
      line += (i ? " " : "") + app.args[i];
    out.push_back(line);
  }
  for (const std::string& w : registry.warnings)
    out.push_back("warning: " + w);
  return out;
}

std::string file_with(std::string_view entries) {
  return R"({"version":1,"apps":[)" + std::string(entries) + "]}";
}

std::string entry(std::string_view id, std::string_view command = "/bin/app") {
  return R"({"id":")" + std::string(id) + R"(","command":")" + std::string(command) + R"("})";
}

TEST(ParseAppsFile, RefusesTheWholeFileWithThePosition) {
  const struct {
    std::string_view in;
    std::string_view want;  // after "apps.json does not parse: "
  } cases[] = {
      // Shape of the records.
      {R"({"apps":[]})", "missing field `version` at line 1 column 11"},
      {R"({})", "missing field `version` at line 1 column 2"},
      {R"({"version":1,"apps":[{"id":5)",
       "invalid type: integer `5`, expected a string at line 1 column 28"},
      {R"({"version":1,"apps":{}})", "invalid type: map, expected a sequence at line 1 column 20"},
      {R"({"version":1,"apps":null})",
       "invalid type: null, expected a sequence at line 1 column 24"},
      {"[]", "invalid type: sequence, expected struct AppsFile at line 1 column 0"},
      {"  [1]", "invalid type: sequence, expected struct AppsFile at line 1 column 2"},
      {R"("x")", "invalid type: string \"x\", expected struct AppsFile at line 1 column 3"},
      {"17", "invalid type: integer `17`, expected struct AppsFile at line 1 column 2"},
      {R"({"version":1,"apps":[5]})",
       "invalid type: integer `5`, expected struct RawEntry at line 1 column 22"},
      {R"({"version":1,"apps":[[]]})",
       "invalid type: sequence, expected struct RawEntry at line 1 column 21"},
      {"{\n  \"version\": 1,\n  \"apps\": {}\n}",
       "invalid type: map, expected a sequence at line 3 column 10"},
      // The version.
      {R"({"version":-5})", "invalid value: integer `-5`, expected u32 at line 1 column 13"},
      {R"({"version":4294967296})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 21"},
      {R"({"version":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e+19`, expected u32 at line 1 column 31"},
      {R"({"version":1.0})",
       "invalid type: floating point `1.0`, expected u32 at line 1 column 14"},
      {R"({"version":-0})",
       "invalid type: floating point `-0.0`, expected u32 at line 1 column 13"},
      {R"({"version":"1"})", "invalid type: string \"1\", expected u32 at line 1 column 14"},
      {R"({"version":"a\nb"})", "invalid type: string \"a\\nb\", expected u32 at line 1 column 17"},
      {R"({"version":true})", "invalid type: boolean `true`, expected u32 at line 1 column 15"},
      {R"({"version":null})", "invalid type: null, expected u32 at line 1 column 15"},
      {R"({"version":[1]})", "invalid type: sequence, expected u32 at line 1 column 11"},
      {R"({"version":1,"version":1})", "duplicate field `version` at line 1 column 22"},
      {R"({"apps":[],"apps":[]})", "duplicate field `apps` at line 1 column 17"},
      // Entries.
      {R"({"version":1,"apps":[{"command":"/x"}]})", "missing field `id` at line 1 column 37"},
      {R"({"version":1,"apps":[{}]})", "missing field `id` at line 1 column 23"},
      {R"({"version":1,"apps":[{"id":"a"}]})", "missing field `command` at line 1 column 31"},
      {R"({"version":1,"apps":[{"id":"a","command":7}]})",
       "invalid type: integer `7`, expected path string at line 1 column 42"},
      {R"({"version":1,"apps":[{"id":"a","command":"/x","name":null}]})",
       "invalid type: null, expected a string at line 1 column 57"},
      {R"({"version":1,"apps":[{"id":"a","command":"/x","name":false}]})",
       "invalid type: boolean `false`, expected a string at line 1 column 58"},
      {R"({"version":1,"apps":[{"id":"a","command":"/x","args":["a",1]}]})",
       "invalid type: integer `1`, expected a string at line 1 column 59"},
      {R"({"version":1,"apps":[{"id":"a","command":"/x","args":"mcp"}]})",
       "invalid type: string \"mcp\", expected a sequence at line 1 column 58"},
      {R"({"version":1,"apps":[{"id":"a","command":"/x","args":{}}]})",
       "invalid type: map, expected a sequence at line 1 column 53"},
      {R"({"version":1,"apps":[{"id":"a","id":"b","command":"/x"}]})",
       "duplicate field `id` at line 1 column 35"},
      {R"({"version":1,"apps":[{"id":"a","args":null,"args":[],"command":"/x"}]})",
       "duplicate field `args` at line 1 column 49"},
      // Syntax, also inside skipped values.
      {"", "EOF while parsing a value at line 1 column 0"},
      {"\xEF\xBB\xBF{\"version\":1}", "expected value at line 1 column 1"},
      {R"({"version":1)", "EOF while parsing an object at line 1 column 12"},
      {R"({"version":1} x)", "trailing characters at line 1 column 15"},
      {R"({"version":1,"x":tru})", "expected ident at line 1 column 21"},
      {R"({"version":1,"apps":[{"id":"a","command":"/x","extra":[1 2]}]})",
       "expected `,` or `]` at line 1 column 58"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto r = parse_apps_file(c.in);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "apps.json does not parse: " + std::string(c.want));
  }
}

TEST(ParseAppsFile, RefusesOtherVersionsBeforeLookingAtEntries) {
  const struct {
    std::string_view in, want;
  } cases[] = {
      {R"({"version":2,"apps":[]})", "apps.json has version 2, this reads version 1"},
      {R"({"version":0})", "apps.json has version 0, this reads version 1"},
      {R"({"version":4294967295})", "apps.json has version 4294967295, this reads version 1"},
      {R"({"version":2,"apps":[{"id":"Bad","command":"x"}]})",
       "apps.json has version 2, this reads version 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto r = parse_apps_file(c.in);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), c.want);
  }
}

TEST(ParseAppsFile, AcceptsEntriesOrLeavesThemOutWithAWarning) {
  const std::string id40(40, 'a');
  const struct {
    std::string what;
    std::string in;
    Lines want;
  } cases[] = {
      {"version only", R"({"version":1})", {}},
      {"no entries", file_with(""), {}},
      {"defaults", file_with(entry("lumeno")), {"lumeno|Lumeno|/bin/app|mcp"}},
      {"unknown id takes its own name", file_with(entry("my-app")), {"my-app|my-app|/bin/app|mcp"}},
      {"two-word known name",
       file_with(entry("brask-anything")),
       {"brask-anything|Brask Anything|/bin/app|mcp"}},
      {"name trimmed",
       file_with(R"({"id":"lumeno","command":"/x","name":"  Lumeno Pro\t"})"),
       {"lumeno|Lumeno Pro|/x|mcp"}},
      // U+3000 IDEOGRAPHIC SPACE and U+00A0 NO-BREAK SPACE are White_Space.
      {"blank name falls back",
       file_with(R"({"id":"lumeno","command":"/x","name":" \u3000\u00a0"},)"
                 R"({"id":"my-app","command":"/x","name":""})"),
       {"lumeno|Lumeno|/x|mcp", "my-app|my-app|/x|mcp"}},
      {"args null, empty, given",
       file_with(R"({"id":"a","command":"/x","args":null},{"id":"b","command":"/x","args":[]},)"
                 R"({"id":"c","command":"/x","args":["--stdio","-v"]})"),
       {"a|a|/x|mcp", "b|b|/x|", "c|c|/x|--stdio -v"}},
      {"unknown keys of any type, repeated",
       R"({"x":1,"version":1,"x":{"a":[null,true]},"apps":[)"
       R"({"y":"s","id":"a","y":-1.5,"command":"/x","z":{}}],"w":[]})",
       {"a|a|/x|mcp"}},
      {"escaped key and value",
       R"({"versio\u006e":1,"apps":[{"id":"\u0061","command":"\/x"}]})",
       {"a|a|/x|mcp"}},
      {"id lengths",
       file_with(entry(id40) + "," + entry(id40 + "b") + "," + entry("") + "," + entry("-")),
       {id40 + "|" + id40 + "|/bin/app|mcp", "-|-|/bin/app|mcp",
        "warning: `" + id40 + "b`: not a valid app id", "warning: ``: not a valid app id"}},
      {"ids outside a-z 0-9 -",
       file_with(entry("Lumeno") + "," + entry("my_app") + "," + entry("app.1") + "," +
                 entry("9-lives")),
       {"9-lives|9-lives|/bin/app|mcp", "warning: `Lumeno`: not a valid app id",
        "warning: `my_app`: not a valid app id", "warning: `app.1`: not a valid app id"}},
      {"ids escaped in their warning",
       file_with(entry(R"(a\nb)") + "," + entry(R"(t\tq\"s'b\\)") + "," + entry(R"(nul\u0000)") +
                 "," + entry(R"(bell\u0007)")),
       {R"(warning: `a\nb`: not a valid app id)", R"(warning: `t\tq\"s\'b\\`: not a valid app id)",
        R"(warning: `nul\0`: not a valid app id)", R"(warning: `bell\u{7}`: not a valid app id)"}},
      // U+0301 COMBINING ACUTE ACCENT is Grapheme_Extend; U+200B ZERO WIDTH SPACE is Cf;
      // U+00E9 LATIN SMALL LETTER E WITH ACUTE is printed as is.
      {"combining and invisible characters escaped",
       file_with(entry("cafe\u0301") + "," + entry("a\u200bb") + "," + entry("caf\u00e9")),
       {"warning: `cafe\\u{301}`: not a valid app id", "warning: `a\\u{200b}b`: not a valid app id",
        "warning: `caf\u00e9`: not a valid app id"}},
      {"listed twice",
       file_with(entry("lumeno") + "," + entry("lumeno", "/other")),
       {"lumeno|Lumeno|/bin/app|mcp", "warning: `lumeno`: listed twice"}},
      {"a refused entry does not claim its id",
       file_with(entry("lumeno", "relative") + "," + entry("lumeno", "/other")),
       {"lumeno|Lumeno|/other|mcp", "warning: `lumeno`: command is not an absolute path"}},
      {"commands",
       file_with(entry("a", "bin/server") + "," + entry("b", "") + "," +
                 entry("c", "/no/such/file")),
       {"c|c|/no/such/file|mcp", "warning: `a`: command is not an absolute path",
        "warning: `b`: command is not an absolute path"}},
      {"first failing check decides",
       file_with(entry("lumeno") + "," + entry("lumeno", "relative")),
       {"lumeno|Lumeno|/bin/app|mcp", "warning: `lumeno`: listed twice"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = parse_apps_file(c.in);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(describe(*r), c.want);
  }
}

std::string args_entry(std::string_view id, size_t count) {
  std::string out = R"({"id":")" + std::string(id) + R"(","command":"/x","args":[)";
  for (size_t i = 0; i < count; ++i)
    out += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
  return out + "]}";
}

TEST(ParseAppsFile, ArgumentLimit) {
  auto r = parse_apps_file(file_with(args_entry("a", 32) + "," + args_entry("b", 33)));
  ASSERT_TRUE(r.ok()) << r.error();
  ASSERT_EQ(r->apps.size(), 1u);
  EXPECT_EQ(r->apps[0].args.size(), 32u);
  EXPECT_EQ(r->apps[0].args.back(), "31");
  EXPECT_EQ(r->warnings, Lines{"`b`: more than 32 arguments"});
}

TEST(ParseAppsFile, AppLimit) {
  const std::string limit_warning = "more than 64 apps; the rest are left out";
  auto valid = [](int n) { return entry("app-" + std::to_string(n)); };
  auto invalid = [](int n) { return entry("Bad" + std::to_string(n)); };
  const struct {
    std::string what;
    std::vector<bool> valid;  // per entry
    size_t want_apps;
    size_t want_warnings;
    bool limit_warning_last;
  } cases[] = {
      {"64 valid", std::vector<bool>(64, true), 64, 0, false},
      {"65 valid", std::vector<bool>(65, true), 64, 1, true},
      {"64 valid then an invalid one",
       [] {
         std::vector<bool> v(64, true);
         v.push_back(false);
         return v;
       }(),
       64, 1, true},
      {"70 of which 10 invalid",
       [] {
         std::vector<bool> v;
         for (int i = 0; i < 70; ++i)
           v.push_back(i % 7 != 3);
         return v;
       }(),
       60, 10, false},
      {"invalid ones between do not use up places",
       [] {
         std::vector<bool> v(10, false);
         v.insert(v.end(), 64, true);
         v.insert(v.end(), 3, false);
         return v;
       }(),
       64, 11, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string entries;
    for (size_t i = 0; i < c.valid.size(); ++i) {
      if (i)
        entries += ",";
      entries += c.valid[i] ? valid(static_cast<int>(i)) : invalid(static_cast<int>(i));
    }
    auto r = parse_apps_file(file_with(entries));
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->apps.size(), c.want_apps);
    ASSERT_EQ(r->warnings.size(), c.want_warnings);
    if (c.limit_warning_last) {
      EXPECT_EQ(r->warnings.back(), limit_warning);
    }
    for (size_t i = 0; i + (c.limit_warning_last ? 1 : 0) < r->warnings.size(); ++i) {
      EXPECT_NE(r->warnings[i], limit_warning);
    }
  }
}

}  // namespace
}  // namespace brask
