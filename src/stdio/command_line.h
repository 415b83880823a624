// command_line.h: what the process was asked to do, decided from its arguments, and
// the process set-up that comes before (standard descriptors, SIGPIPE) and the
// operator messages on standard error. Main thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brask {

inline constexpr std::string_view USAGE = "usage: brask-ai-mcp --stdio";

enum class CommandAction { Serve, Help, Refuse };

struct Command {
  CommandAction action;
  std::string refusal;  // for Refuse: "nothing to do" or "unknown arguments `{args}`"
};

// Decides from the arguments after the program name, compared exactly: "--stdio"
// serves, "--help" or "-h" alone prints help, anything else is refused.
Command read_command_line(const std::vector<std::string>& args);

// Opens /dev/null on any of descriptors 0 to 2 that is closed (aborts if it cannot)
// and ignores SIGPIPE, so a vanished reader shows up as EPIPE from write; SIGCHLD is
// set back to default, so the gateway can wait for the app servers it stops.
void prepare_process();

// Writes "brask-ai-mcp: {message}" and a line feed to standard error.
void write_operator_message(std::string_view message);

}  // namespace brask
