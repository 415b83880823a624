// live_children.h: the process-wide record of app server processes that are started
// and not yet reaped, so that a signal ending the gateway can kill them all without
// waiting behind a connection lock. Starting and disposing of a child (any thread)
// register and forget it; the signal thread calls `kill_live_children`.
#pragma once

#include <sys/types.h>

#include <functional>

#include "base/result.h"

namespace brask {

// Runs `start` under the registry lock and records the pid it returns, so a stop can
// never miss a child that is being started. After `kill_live_children` it starts
// nothing and fails with "the gateway is stopping".
Result<pid_t> start_live_child(const std::function<Result<pid_t>()>& start);

// Drops `pid` from the record. The owner calls it after sending SIGKILL and before
// reaping, so a recorded pid always names our own unreaped child.
void forget_live_child(pid_t pid);

// SIGKILLs every recorded child, reaps each, and refuses later starts. Safe from any
// thread while requests run: it waits only for the registry lock, never for a
// connection lock.
void kill_live_children();

// How many children are recorded now (for tests).
size_t live_child_count();

}  // namespace brask
