// signals.h: ending on SIGTERM, SIGINT and SIGHUP without leaving app servers behind,
// and reaping children as they end. The three and SIGCHLD are blocked in every thread
// and taken by one thread with sigwait: on SIGCHLD it reaps, on a stop signal it kills
// every live app server, then ends the process by the same signal.
// `block_stop_signals` runs on the main thread before any other thread starts.
#pragma once

#include "base/result.h"

namespace brask {

// Blocks the three signals and SIGCHLD in the calling thread; threads started later
// inherit it. A stop signal ignored at start stays ignored and is not waited for.
void block_stop_signals();

// Starts the detached thread that waits for them. On SIGCHLD it runs `reap`; on a stop
// signal it runs `stop`, then restores the signal's default action and raises it, so
// the process ends by it.
Result<void> start_stop_signal_thread(void (*stop)(), void (*reap)());

// Called by the main thread before it exits: once a signal has been taken, never
// returns, so the process ends by that signal rather than by the exit status.
void hold_if_ending_by_signal();

}  // namespace brask
