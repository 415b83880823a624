#include "stdio/command_line.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "base/program.h"
#include "base/unique_fd.h"

namespace brask {

Command read_command_line(const std::vector<std::string>& args) {
  if (args.empty())
    return {CommandAction::Refuse, "nothing to do"};
  if (args.size() == 1 && args[0] == "--stdio")
    return {CommandAction::Serve, ""};
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    return {CommandAction::Help, ""};
  }
  std::string joined;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0)
      joined += ' ';
    joined += args[i];
  }
  return {CommandAction::Refuse, "unknown arguments `" + joined + "`"};
}

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // open() takes the lowest free number, which is `fd` since the ones below are open.
    int opened = open("/dev/null", O_RDWR);
    if (opened != fd)
      std::abort();
  }
  signal(SIGPIPE, SIG_IGN);
  // Inherited as ignored, SIGCHLD would make the system reap app servers by itself, and
  // the gateway could no longer wait for the ones it stops.
  signal(SIGCHLD, SIG_DFL);
}

void write_operator_message(std::string_view message) {
  std::string line;
  line.reserve(PROGRAM_NAME.size() + message.size() + 3);
  line.append(PROGRAM_NAME).append(": ").append(message).push_back('\n');
  // Standard error is the last resort; there is nowhere to report its failure.
  (void)write_all(STDERR_FILENO, line.data(), line.size());
}

}  // namespace brask
