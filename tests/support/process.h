// process.h: runs a built program for end-to-end tests: explicit arguments, an
// environment based on the test's own, a working folder, pipes on its standard
// descriptors (or a descriptor left closed). Standard error is collected in the
// background; standard output is read line by line with a deadline.
//
// Starting a program makes the test process ignore SIGPIPE.
//
// Quick use: `run_program(program_path("brask-ai-mcp"), options, input)` writes the
// input, closes standard input, reads all output and waits for the exit.
// Interactive use: `Process::start`, then `write_stdin` / `read_line` / `close_stdin`
// / `wait`. `write_stdin` may run on one thread while another calls `read_line` (for
// inputs larger than a pipe holds); every other call belongs to one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace brask::testing {

inline constexpr std::chrono::milliseconds DEFAULT_PROCESS_DEADLINE{60000};

// Lines from a descriptor it does not own, each read waiting at most until a deadline.
// Used for a program's standard output and for pipes in tests of the request loop.
class LineSource {
 public:
  explicit LineSource(int fd) : fd_(fd) {}
  // The next line without its line feed (a last line without one too). Nothing at
  // the end of the stream or when `timeout` passes; `ended()` says which.
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = DEFAULT_PROCESS_DEADLINE);
  // Everything until the end of the stream; `*complete` is false on time-out.
  std::string read_to_end(std::chrono::milliseconds timeout, bool* complete);
  bool ended() const { return ended_; }
  // Forget the descriptor; reads report the end from now on.
  void detach();

 private:
  // False on time-out.
  bool fill(std::chrono::steady_clock::time_point deadline);

  int fd_;
  std::string buffer_;  // read but not yet returned
  bool ended_ = false;
};

struct ProcessOptions {
  std::vector<std::string> args;  // after the program name
  // Added to, or replacing, the test's own environment.
  std::vector<std::pair<std::string, std::string>> set_env;
  std::vector<std::string> unset_env;
  std::string working_dir;  // empty: the test's own
  // Leave these of descriptors 0, 1 and 2 closed in the program instead of a pipe.
  bool close_stdin = false;
  bool close_stdout = false;
  bool close_stderr = false;
  // O_NONBLOCK on the program's ends of its standard input and output pipes, as a
  // parent that shares them might have set.
  bool nonblocking_stdio = false;
  // Signals the program starts with ignored, as `nohup` leaves SIGHUP; the others it
  // starts with at their default action.
  std::vector<int> ignored_signals;
};

struct ExitStatus {
  bool exited = false;  // ended through exit; `code` holds the status
  int code = -1;
  int signal = 0;          // the signal that ended it, when not `exited`
  bool timed_out = false;  // did not end before the deadline (it was killed then)
  // "exited with status 3", "killed by signal 9" or "timed out".
  std::string describe() const;
};

class Process {
 public:
  // Starts `program` (a path; no search) with argv[0] = `program`. Failure: the text
  // of the failing spawn or pipe call.
  static Result<std::unique_ptr<Process>> start(const std::string& program,
                                                const ProcessOptions& options);
  // Kills (SIGKILL) and reaps a program still running, then stops the stderr reader.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `data`, blocking while the pipe is full. Failure: the system error
  // (EPIPE once the program has closed its standard input).
  Result<void> write_stdin(std::string_view data);
  void close_stdin();

  // The next line of standard output without its line feed (a last line without one
  // too). Nothing at the end of output or when `timeout` passes; `stdout_ended()` says
  // which.
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = DEFAULT_PROCESS_DEADLINE) {
    return stdout_lines_.read_line(timeout);
  }
  bool stdout_ended() const { return stdout_lines_.ended(); }
  // Everything on standard output until its end; `*complete` is false on time-out.
  std::string read_stdout_to_end(std::chrono::milliseconds timeout, bool* complete) {
    return stdout_lines_.read_to_end(timeout, complete);
  }
  // Closes the reading end, so the program's next write fails with EPIPE.
  void close_stdout();

  // Waits for the program to end; kills it when `timeout` passes. Safe to call again.
  ExitStatus wait(std::chrono::milliseconds timeout = DEFAULT_PROCESS_DEADLINE);
  // Standard error so far; complete once `wait` has returned.
  std::string stderr_text();

  // Peak resident memory (VmHWM) of the running program in KiB, nothing once it ended.
  std::optional<long> peak_memory_kib() const;

 private:
  Process() = default;
  void reap(int wait_status);

  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
  UniqueFd stdin_;
  UniqueFd stdout_;
  LineSource stdout_lines_{-1};
  std::thread stderr_reader_;
  Mutex stderr_mutex_;  // guards `stderr_text_`
  std::string stderr_text_ GUARDED_BY(stderr_mutex_);
};

struct RunOutcome {
  std::string stdout_text;
  std::string stderr_text;
  ExitStatus status;
  // Standard output split at line feeds; a final piece without one is a line too.
  std::vector<std::string> stdout_lines() const;
};

// Starts `program`, writes `input` from a thread of its own, closes standard input,
// reads standard output to its end and waits, all within `timeout`. A program that
// cannot be started gives an outcome with the failure as `stderr_text` and code -1.
RunOutcome run_program(const std::string& program, const ProcessOptions& options,
                       std::string_view input,
                       std::chrono::milliseconds timeout = DEFAULT_PROCESS_DEADLINE);

}  // namespace brask::testing
