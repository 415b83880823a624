// live_children.h: the process-wide record of the gateway's children, so that stops,
// the reaping of orphans and a signal ending the gateway each touch exactly what they
// should. What a stop kills and what it leaves alone:
// - one app's stop kills its server and the server's descendants still in the
//   gateway's process group (process_tree.h), never another app's processes;
// - orphans of servers that the gateway adopts as subreaper are reaped as soon as they
//   exit, and those still running in its process group are killed when all apps stop;
// - children the gateway had before it started serving, and processes that left its
//   process group, are never killed.
// No wait here is unbounded, and no lock is held while waiting: a process that cannot
// be reaped in time (traced, of another user) is reaped later, when it can be.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

#include "base/result.h"

namespace brask {

// How long a stop waits for killed servers to end before leaving them to be reaped
// later.
inline constexpr std::chrono::milliseconds STOP_WAIT{1000};

// Makes the gateway a child subreaper, so servers' orphans stay its own to kill and
// reap, and notes the children it has now as not its apps'. Called once on the main
// thread before serving; without it adopted orphans are neither reaped nor killed.
void supervise_children();

// Runs `start` under the record's lock and records the pid it returns, so a stop can
// never miss a child that is being started. After `kill_live_children` it starts
// nothing and fails with "the gateway is stopping".
Result<pid_t> start_live_child(const std::function<Result<pid_t>()>& start);

// Kills `pid` with its tree, waits up to STOP_WAIT for it to end, reaps it (or leaves
// it to be reaped when it can be) and drops it from the record. Does nothing when `pid`
// is no longer recorded (`kill_live_children` took it).
void stop_live_child(pid_t pid);

// Kills the adopted orphans still running in the gateway's process group, with their
// trees: what servers left behind, once every app is stopped.
void stop_adopted_orphans();

// Kills every recorded child with its tree, and every adopted orphan, waits up to
// STOP_WAIT in all for them to end, then refuses later starts. Safe from any thread
// while requests run: it never waits for a connection lock.
void kill_live_children();

// Reaps every child that has ended and that no owner waits for: adopted orphans,
// inherited children, servers left to be reaped later. Called on SIGCHLD.
void reap_ended_children();

// How many started servers are recorded now (for tests).
size_t live_child_count();

}  // namespace brask
