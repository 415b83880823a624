// process_tree.h: stopping an app server together with every process it started in
// turn, found through /proc. Servers are often started through a launcher that does
// not exec (a script, a package runner), so killing the started process alone leaves
// the real server running. Called with the live-children lock held (live_children.cc),
// which keeps two stops from reaping or signalling each other's processes.
#pragma once

#include <sys/types.h>

#include <vector>

namespace brask {

// Makes the gateway a child subreaper, so a launcher's orphans stay the gateway's own
// children (to be stopped and reaped) instead of going to init, and turns on the
// stopping of such orphans in `stop_orphans`. Called once on the main thread.
void adopt_orphans();

// SIGKILLs `root`, an unreaped child of the gateway, and every process descended from
// it: the tree is first stopped (SIGSTOP, rescanned until no new process appears, so
// nothing forks away), then killed. Reaps `root` and whichever of the others become
// the gateway's children on the way. Blocks until they are gone.
void kill_tree(pid_t root);

// Kills and reaps, with their trees, the gateway's children that are not in `servers`:
// orphans adopted from servers' trees, whose own server cannot be told any more. Does
// nothing unless `adopt_orphans` ran.
void stop_orphans(const std::vector<pid_t>& servers);

}  // namespace brask
