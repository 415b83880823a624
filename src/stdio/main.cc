// main.cc: the process entry: set-up, the command line, the apps registry, then serving
// until standard input ends. The exit status is 0, or 1 for a refusal or a failed standard I/O.
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apps/child/live_children.h"
#include "apps/gateway.h"
#include "apps/registry.h"
#include "base/heap.h"
#include "base/unique_fd.h"
#include "stdio/command_line.h"
#include "stdio/serve.h"
#include "stdio/signals.h"

namespace brask {
namespace {

int serve() {
  // App servers must not outlive the gateway, whichever of the three signals ends it.
  Result<void> waiting = start_stop_signal_thread(&kill_live_children, &reap_ended_children);
  if (!waiting.ok()) {
    write_operator_message(waiting.error());
    return 1;
  }
  // Processes that app servers start and leave stay the gateway's own, to be reaped and
  // stopped; the children it has now are not its apps'.
  supervise_children();
  HeapGiveBack give_back;
  AppRegistry registry = load_registry();
  for (const std::string& warning : registry.warnings)
    write_operator_message(warning);
  Result<void> served;
  {
    auto agents = std::make_shared<AgentsSwitch>();
    Gateway gateway(std::move(registry.apps), std::move(registry.warnings),
                    Gateway::default_app_starter(), [agents] { return agents->enabled(); });
    served = serve_stdio(gateway);
    // Every server and what it left behind, under one bounded wait; releasing the
    // Gateway then finds nothing left to stop.
    kill_live_children();
  }
  if (!served.ok()) {
    write_operator_message(served.error());
    return 1;
  }
  return 0;
}

int run(const std::vector<std::string>& args) {
  Command command = read_command_line(args);
  switch (command.action) {
    case CommandAction::Help: {
      std::string text = std::string(USAGE) + "\n";
      return write_all(STDOUT_FILENO, text.data(), text.size()).ok() ? 0 : 1;
    }
    case CommandAction::Refuse:
      write_operator_message(command.refusal + "\n" + std::string(USAGE));
      return 1;
    case CommandAction::Serve:
      return serve();
  }
  return 1;
}

}  // namespace
}  // namespace brask

int main(int argc, char** argv) {
  brask::use_one_heap();
  // Before any thread starts, so every thread inherits the mask and only the signal
  // thread takes them.
  brask::block_stop_signals();
  brask::prepare_process();
  const int status = brask::run(std::vector<std::string>(argv + 1, argv + argc));
  brask::hold_if_ending_by_signal();
  return status;
}
