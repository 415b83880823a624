// live_children.h: the process-wide record of app server processes that are started
// and not yet reaped, so that a signal ending the gateway can kill them all without
// waiting behind a connection lock. Starting and disposing of a child (any thread)
// register and stop it; the signal thread calls `kill_live_children`. One lock covers
// the record and every stop, so no stop reaps or signals what another one handles.
#pragma once

#include <sys/types.h>

#include <functional>

#include "base/result.h"

namespace brask {

// Runs `start` under the registry lock and records the pid it returns, so a stop can
// never miss a child that is being started. After `kill_live_children` it starts
// nothing and fails with "the gateway is stopping".
Result<pid_t> start_live_child(const std::function<Result<pid_t>()>& start);

// Drops `pid` from the record and stops it with its whole process tree (kill_tree),
// then any orphans adopted from servers' trees (stop_orphans). Does nothing when `pid`
// is no longer recorded (`kill_live_children` stopped it). Blocks until all are reaped.
void stop_live_child(pid_t pid);

// Stops every recorded child with its tree, and every adopted orphan, then refuses
// later starts. Safe from any thread while requests run: it waits only for the record's
// lock, never for a connection lock.
void kill_live_children();

// How many children are recorded now (for tests).
size_t live_child_count();

}  // namespace brask
