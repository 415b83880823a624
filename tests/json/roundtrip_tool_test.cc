#include <gtest/gtest.h>

#include <string>

#include "support/paths.h"
#include "support/process.h"

namespace brask {
namespace {

TEST(JsonRoundtripTool, PrintsTheRenderingOrTheFault) {
  const struct {
    std::string name;
    std::vector<std::string> args;
    std::string input, want_stdout;
    int want_code;
  } cases[] = {
      {"compact",
       {},
       "{ \"b\": [1, 2.50], \"a\": \"\\u00e9\" }\n",
       "{\"a\":\"\xc3\xa9\",\"b\":[1,2.5]}\n",
       0},
      {"pretty",
       {"--pretty"},
       R"({"b":[1,{}],"a":null})",
       "{\n  \"a\": null,\n  \"b\": [\n    1,\n    {}\n  ]\n}\n",
       0},
      {"fault", {}, "{\n", "EOF while parsing an object at line 2 column 0\n", 1},
      {"empty input", {}, "", "EOF while parsing a value at line 1 column 0\n", 1},
      {"large input",
       {},
       "[\"" + std::string(300000, 'x') + "\"]",
       "[\"" + std::string(300000, 'x') + "\"]\n",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ProcessOptions options;
    options.args = c.args;
    auto outcome = testing::run_program(testing::program_path("json-roundtrip"), options, c.input);
    EXPECT_EQ(outcome.stdout_text, c.want_stdout);
    EXPECT_TRUE(outcome.status.exited) << outcome.stderr_text;
    EXPECT_EQ(outcome.status.code, c.want_code);
  }
}

}  // namespace
}  // namespace brask
