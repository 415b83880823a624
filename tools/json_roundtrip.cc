// json-roundtrip: reads all of standard input as one JSON text and prints its compact
// form (or, with --pretty, its pretty form) and a line feed; on a parse failure prints
// the failure text and a line feed and exits 1. A developer tool for checking the
// gateway's JSON rules by hand.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/os_error.h"
#include "base/unique_fd.h"
#include "json/parse.h"
#include "json/render.h"

int main(int argc, char** argv) {
  bool pretty = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pretty") == 0) {
      pretty = true;
    } else {
      std::fprintf(stderr, "usage: json-roundtrip [--pretty] < input.json\n");
      return 2;
    }
  }
  std::string input;
  char buf[65536];
  for (;;) {
    ssize_t n = brask::read_retry(STDIN_FILENO, buf, sizeof buf);
    if (n < 0) {
      std::fprintf(stderr, "json-roundtrip: reading standard input failed: %s\n",
                   brask::os_error_text(errno).c_str());
      return 2;
    }
    if (n == 0)
      break;
    input.append(buf, static_cast<size_t>(n));
  }
  brask::Result<brask::JsonValue> value = brask::parse_json(input);
  std::string out;
  int status = 0;
  if (value.ok()) {
    out = pretty ? brask::render_pretty(*value) : brask::render_compact(*value);
  } else {
    out = value.error();
    status = 1;
  }
  out.push_back('\n');
  if (!brask::write_all(STDOUT_FILENO, out.data(), out.size()).ok())
    return 2;
  return status;
}
