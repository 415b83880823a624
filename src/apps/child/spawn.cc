#include "apps/child/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "apps/child/live_children.h"

extern char** environ;

namespace brask {
namespace {

// Destroys the posix_spawn attributes and file actions on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  bool have_actions = false;
  bool have_attributes = false;

  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (have_actions)
      posix_spawn_file_actions_destroy(&actions);
    if (have_attributes)
      posix_spawnattr_destroy(&attributes);
  }
};

bool has_nul(const std::string& s) {
  return s.find('\0') != std::string::npos;
}

// The real-time signals below SIGRTMIN that the C library keeps for itself. glibc's
// posix_spawn ignores them in the child before exec, so they reach the app ignored
// unless asked back to default; and its sigaddset refuses them, so their bits are set
// directly.
constexpr int FIRST_REALTIME_SIGNAL = 32;

void add_reserved_signals(sigset_t* set) {
  auto* words = reinterpret_cast<unsigned long*>(set);
  constexpr int BITS = 8 * sizeof(unsigned long);
  for (int sig = FIRST_REALTIME_SIGNAL; sig < SIGRTMIN; ++sig)
    words[(sig - 1) / BITS] |= 1UL << ((sig - 1) % BITS);
}

// Each posix_spawn* call reports failure as a returned error number; they run in turn
// and the first failure ends the set-up.
Result<void> prepare(SpawnSetup& setup, int child_stdin, int child_stdout) {
  posix_spawn_file_actions_t* actions = &setup.actions;
  int err = posix_spawn_file_actions_init(actions);
  if (err != 0)
    return fail(os_error_text(err));
  setup.have_actions = true;
  // dup2 clears close-on-exec on the copies; the originals close at exec.
  if ((err = posix_spawn_file_actions_adddup2(actions, child_stdin, STDIN_FILENO)) != 0 ||
      (err = posix_spawn_file_actions_adddup2(actions, child_stdout, STDOUT_FILENO)) != 0 ||
      (err = posix_spawn_file_actions_addopen(actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0)) !=
          0)
    return fail(os_error_text(err));
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors opened elsewhere in the gateway without close-on-exec stay out too.
  if ((err = posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1)) != 0)
    return fail(os_error_text(err));
#endif
  posix_spawnattr_t* attributes = &setup.attributes;
  if ((err = posix_spawnattr_init(attributes)) != 0)
    return fail(os_error_text(err));
  setup.have_attributes = true;
  // Only what the gateway itself changed, or what a C library leaves ignored, goes back
  // to default; a signal the gateway's parent ignored (nohup) stays ignored for the app.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGCHLD})
    sigaddset(&defaults, sig);
  add_reserved_signals(&defaults);
  sigset_t empty;
  sigemptyset(&empty);
  if ((err = posix_spawnattr_setsigdefault(attributes, &defaults)) != 0 ||
      (err = posix_spawnattr_setsigmask(attributes, &empty)) != 0 ||
      (err = posix_spawnattr_setflags(attributes,
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK)) != 0)
    return fail(os_error_text(err));
  return {};
}

}  // namespace

Result<SpawnedChild> spawn_child(const AppEntry& entry) {
  if (has_nul(entry.command))
    return fail("nul byte found in provided data");
  for (const std::string& arg : entry.args) {
    if (has_nul(arg))
      return fail("nul byte found in provided data");
  }
  Result<Pipe> input = make_pipe();
  if (!input.ok())
    return input.failure();
  Result<Pipe> output = make_pipe();
  if (!output.ok())
    return output.failure();

  SpawnSetup setup;
  Result<void> prepared = prepare(setup, input->read_end.get(), output->write_end.get());
  if (!prepared.ok())
    return prepared.failure();

  std::vector<char*> argv;
  argv.reserve(entry.args.size() + 2);
  argv.push_back(const_cast<char*>(entry.command.c_str()));
  for (const std::string& arg : entry.args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // Recorded as it starts, so a stopping signal never misses it (live_children.h).
  Result<pid_t> pid = start_live_child([&]() -> Result<pid_t> {
    pid_t started = -1;
    int err = posix_spawn(&started, entry.command.c_str(), &setup.actions, &setup.attributes,
                          argv.data(), environ);
    if (err != 0)
      return fail(os_error_text(err));
    return started;
  });
  if (!pid.ok())
    return pid.failure();
  // Readable once the server has ended; without it (an old kernel, no descriptor free)
  // only the end of its output closes the connection.
  UniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, *pid, 0)));
  // The child's ends close here, when `input` and `output` go; the gateway keeps its own.
  return SpawnedChild{ChildProcess(*pid), std::move(input->write_end), std::move(output->read_end),
                      std::move(ended)};
}

Result<AppConnection> start_app(const AppEntry& entry, std::chrono::nanoseconds handshake_timeout) {
  const std::string could_not_start =
      "could not start " + entry.name + " (" + entry.command + "): ";
  Result<SpawnedChild> spawned = spawn_child(entry);
  if (!spawned.ok())
    return fail(could_not_start + spawned.error());
  Result<AppConnection> connection = open_channel(
      std::move(spawned->from_child), std::move(spawned->to_child), std::move(spawned->ended));
  // On failure `spawned` still owns the process and kills it on the way out.
  if (!connection.ok())
    return fail(could_not_start + connection.error());
  connection->child = std::move(spawned->process);
  Result<JsonValue> initialized = handshake(*connection, handshake_timeout);
  if (!initialized.ok()) {
    // Returning disposes of the connection: the process is killed and reaped.
    return fail(entry.name + " did not start its MCP server: " + initialized.error());
  }
  return connection;
}

Result<AppConnection> start_app(const AppEntry& entry) {
  return start_app(entry, std::chrono::seconds(INITIALIZE_TIMEOUT_SECS));
}

}  // namespace brask
