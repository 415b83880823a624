// brask-sample-app: serves one of the sample apps over MCP on standard input and output,
// chosen by the first argument, until standard input ends.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "apps.h"
#include "server.h"

namespace {

constexpr const char* USAGE = "usage: brask-sample-app lumeno|scribola|tabulo [mcp]";

}  // namespace

int main(int argc, char** argv) {
  using namespace brask::sample;
  // A client that goes away mid-answer must end us through a failed write, not a signal
  // that leaves nothing on standard error.
  signal(SIGPIPE, SIG_IGN);
  // The extra "mcp" is what launchers pass by default; anything else is a mistake.
  if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "mcp") != 0)) {
    std::fprintf(stderr, "%s\n", USAGE);
    return 2;
  }
  std::string_view which = argv[1];
  AppDefinition app;
  brask::Result<void> made = brask::fail("unknown app `" + std::string(which) + "`");
  if (which == "lumeno")
    made = make_lumeno(&app);
  if (which == "scribola")
    made = make_scribola(&app);
  if (which == "tabulo")
    made = make_tabulo(&app);
  if (!made.ok()) {
    std::fprintf(stderr, "brask-sample-app: %s\n%s\n", made.error().c_str(), USAGE);
    return 2;
  }
  auto served = serve(app, STDIN_FILENO, STDOUT_FILENO);
  if (!served.ok()) {
    std::fprintf(stderr, "brask-sample-app: %s\n", served.error().c_str());
    return 1;
  }
  return 0;
}
