// spawn.h: starting an app's MCP server as a child process and handing back a ready
// connection. Owns the process set-up (argv, pipes, standard error, signals); the
// transport and the handshake belong to channel.h and client.h. Called by the thread
// that holds the app's connection lock; starts of different apps may run at once.
#pragma once

#include <chrono>

#include "apps/child/app_entry.h"
#include "apps/child/channel.h"
#include "apps/child/client.h"
#include "apps/child/process.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace brask {

// A started process with the gateway's ends of its standard input and output.
struct SpawnedChild {
  ChildProcess process;
  UniqueFd to_child;    // the child's standard input
  UniqueFd from_child;  // the child's standard output
  UniqueFd ended;       // a pidfd, readable once the child has ended; may be invalid
};

// Starts `entry.command` with argv = command followed by `entry.args`, the gateway's
// environment and working directory, standard error on /dev/null, SIGPIPE, SIGCHLD and
// the C library's reserved real-time signals at their default action (other signals as
// the gateway got them: one ignored by its parent stays ignored), an empty signal mask,
// and no descriptor of the gateway beyond the three standard ones. Failure: the bare
// cause, the system error text or "nul byte found in provided data".
Result<SpawnedChild> spawn_child(const AppEntry& entry);

// Starts the server, opens the channel and performs the handshake. Failures:
// "could not start {name} ({command}): {error}" and "{name} did not start its MCP
// server: {error}"; no process of the attempt is left. `handshake_timeout` exists
// for tests; the gateway uses the default.
Result<AppConnection> start_app(const AppEntry& entry, std::chrono::nanoseconds handshake_timeout);
Result<AppConnection> start_app(const AppEntry& entry);

}  // namespace brask
