#include "support/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "base/os_error.h"

extern char** environ;

namespace brask::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

// Waits until `fd` is readable (or closed by the other side); false on time-out.
bool wait_readable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, remaining_ms(deadline));
    if (n > 0)
      return true;
    if (n == 0)
      return false;
    if (errno != EINTR)
      return false;
  }
}

std::vector<std::string> build_environment(const ProcessOptions& options) {
  std::set<std::string> replaced(options.unset_env.begin(), options.unset_env.end());
  for (const auto& [key, value] : options.set_env)
    replaced.insert(key);
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string_view text(*entry);
    if (!replaced.count(std::string(text.substr(0, text.find('=')))))
      env.emplace_back(text);
  }
  for (const auto& [key, value] : options.set_env)
    env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings)
    out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

bool LineSource::fill(Clock::time_point deadline) {
  if (!wait_readable(fd_, deadline))
    return false;
  char buffer[65536];
  ssize_t n = read_retry(fd_, buffer, sizeof buffer);
  if (n <= 0) {
    ended_ = true;
  } else {
    buffer_.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string> LineSource::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    size_t feed = buffer_.find('\n');
    if (feed != std::string::npos) {
      std::string line = buffer_.substr(0, feed);
      buffer_.erase(0, feed + 1);
      return line;
    }
    if (ended_) {
      if (buffer_.empty())
        return std::nullopt;
      return std::exchange(buffer_, std::string());
    }
    if (!fill(deadline))
      return std::nullopt;
  }
}

std::string LineSource::read_to_end(std::chrono::milliseconds timeout, bool* complete) {
  const auto deadline = Clock::now() + timeout;
  *complete = true;
  while (!ended_) {
    if (!fill(deadline)) {
      *complete = false;
      break;
    }
  }
  return std::exchange(buffer_, std::string());
}

void LineSource::detach() {
  fd_ = -1;
  ended_ = true;
  buffer_.clear();
}

std::string ExitStatus::describe() const {
  if (timed_out)
    return "timed out";
  if (exited)
    return "exited with status " + std::to_string(code);
  return "killed by signal " + std::to_string(signal);
}

Result<std::unique_ptr<Process>> Process::start(const std::string& program,
                                                const ProcessOptions& options) {
  // A test writing to a program that has gone must see EPIPE, not die of the signal.
  signal(SIGPIPE, SIG_IGN);
  auto in = make_pipe();
  if (!in.ok())
    return in.failure();
  auto out = make_pipe();
  if (!out.ok())
    return out.failure();
  auto err = make_pipe();
  if (!err.ok())
    return err.failure();
  if (options.nonblocking_stdio) {
    for (int fd : {in->read_end.get(), out->write_end.get()}) {
      if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
        return fail("fcntl: " + os_error_text(errno));
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  struct Guard {
    posix_spawn_file_actions_t* actions;
    ~Guard() { posix_spawn_file_actions_destroy(actions); }
  } guard{&actions};
  // dup2 clears close-on-exec on the copies; the originals close at exec.
  const int child_ends[3] = {in->read_end.get(), out->write_end.get(), err->write_end.get()};
  const bool closed[3] = {options.close_stdin, options.close_stdout, options.close_stderr};
  for (int fd = 0; fd < 3; ++fd) {
    int rc = closed[fd] ? posix_spawn_file_actions_addclose(&actions, fd)
                        : posix_spawn_file_actions_adddup2(&actions, child_ends[fd], fd);
    if (rc != 0)
      return fail("file action: " + os_error_text(rc));
  }
  if (!options.working_dir.empty()) {
    int rc = posix_spawn_file_actions_addchdir_np(&actions, options.working_dir.c_str());
    if (rc != 0)
      return fail("chdir action: " + os_error_text(rc));
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  struct AttrGuard {
    posix_spawnattr_t* attributes;
    ~AttrGuard() { posix_spawnattr_destroy(attributes); }
  } attr_guard{&attributes};
  // The program under test ignores SIGPIPE itself; start it with default actions and
  // nothing blocked, as an agent would, whatever the test runner set (a background
  // job starts with SIGINT ignored, for one).
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP})
    sigaddset(&defaults, sig);
  // An ignored disposition passes through exec, so this process holds it while spawning.
  std::vector<std::pair<int, struct sigaction>> restore;
  for (int sig : options.ignored_signals) {
    sigdelset(&defaults, sig);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    if (sigaction(sig, &ignore, &before) == 0)
      restore.emplace_back(sig, before);
  }
  struct Restore {
    std::vector<std::pair<int, struct sigaction>>* saved;
    ~Restore() {
      for (auto& [sig, action] : *saved)
        sigaction(sig, &action, nullptr);
    }
  } restore_guard{&restore};
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env_strings = build_environment(options);
  std::vector<char*> argv = pointers(argv_strings);
  std::vector<char*> envp = pointers(env_strings);

  std::unique_ptr<Process> process(new Process());
  int rc =
      posix_spawn(&process->pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  if (rc != 0)
    return fail(program + ": " + os_error_text(rc));
  process->stdin_ = std::move(in->write_end);
  process->stdout_ = std::move(out->read_end);
  if (options.close_stdin)
    process->stdin_.reset();
  if (options.close_stdout)
    process->stdout_.reset();
  process->stdout_lines_ = LineSource(process->stdout_.get());
  if (!process->stdout_.valid())
    process->stdout_lines_.detach();
  // The child's ends close here, so end of stream arrives when the child's copies close.
  in->read_end.reset();
  out->write_end.reset();
  err->write_end.reset();
  Process* raw = process.get();
  raw->stderr_reader_ = std::thread([raw, fd = std::move(err->read_end)] {
    char buffer[4096];
    for (;;) {
      ssize_t n = read_retry(fd.get(), buffer, sizeof buffer);
      if (n <= 0)
        return;
      MutexLock lock(raw->stderr_mutex_);
      raw->stderr_text_.append(buffer, static_cast<size_t>(n));
    }
  });
  return process;
}

Process::~Process() {
  stdin_.reset();
  stdout_.reset();
  if (!status_) {
    kill(pid_, SIGKILL);
    int wait_status = 0;
    while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
    }
  }
  // Grandchildren that kept the stderr pipe open would block this join; the programs
  // tested here do not leave any behind.
  if (stderr_reader_.joinable())
    stderr_reader_.join();
}

Result<void> Process::write_stdin(std::string_view data) {
  if (!stdin_.valid())
    return fail(os_error_text(EBADF));
  return write_all(stdin_.get(), data.data(), data.size());
}

void Process::close_stdin() {
  stdin_.reset();
}

void Process::close_stdout() {
  stdout_lines_.detach();
  stdout_.reset();
}

void Process::reap(int wait_status) {
  ExitStatus status;
  if (WIFEXITED(wait_status)) {
    status.exited = true;
    status.code = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    status.signal = WTERMSIG(wait_status);
  }
  status_ = status;
}

ExitStatus Process::wait(std::chrono::milliseconds timeout) {
  if (status_)
    return *status_;
  const auto deadline = Clock::now() + timeout;
  UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
  if (pidfd.valid() && !wait_readable(pidfd.get(), deadline)) {
    kill(pid_, SIGKILL);
    int wait_status = 0;
    while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
    }
    status_ = ExitStatus{};
    status_->timed_out = true;
  } else {
    int wait_status = 0;
    while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
    }
    reap(wait_status);
  }
  if (stderr_reader_.joinable())
    stderr_reader_.join();
  return *status_;
}

std::string Process::stderr_text() {
  MutexLock lock(stderr_mutex_);
  return stderr_text_;
}

std::optional<long> Process::peak_memory_kib() const {
  if (status_)
    return std::nullopt;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return std::nullopt;
}

std::vector<std::string> RunOutcome::stdout_lines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < stdout_text.size()) {
    size_t feed = stdout_text.find('\n', start);
    if (feed == std::string::npos)
      feed = stdout_text.size();
    lines.push_back(stdout_text.substr(start, feed - start));
    start = feed + 1;
  }
  return lines;
}

RunOutcome run_program(const std::string& program, const ProcessOptions& options,
                       std::string_view input, std::chrono::milliseconds timeout) {
  RunOutcome outcome;
  auto started = Process::start(program, options);
  if (!started.ok()) {
    outcome.stderr_text = started.error();
    return outcome;
  }
  std::unique_ptr<Process> process = std::move(started).take();
  // A program that stops reading makes the write fail with EPIPE; that is its business.
  std::thread writer([&] {
    (void)process->write_stdin(input);
    process->close_stdin();
  });
  bool complete = false;
  outcome.stdout_text = process->read_stdout_to_end(timeout, &complete);
  if (!complete)
    kill(process->pid(), SIGKILL);  // unblocks the writer too
  writer.join();
  outcome.status = process->wait(timeout);
  if (!complete)
    outcome.status.timed_out = true;
  outcome.stderr_text = process->stderr_text();
  return outcome;
}

}  // namespace brask::testing
