// process_tree.h: finding and killing the processes of one app server through /proc.
// An app server's processes are the process the gateway started and its descendants
// that stayed in the gateway's process group; one that left the group (a desktop
// application it opened, a daemon) belongs to the user and is never touched, nor is
// anything below it. Not thread-safe: the live-children lock (live_children.cc)
// serialises every use, and nothing here waits for a process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "base/unique_fd.h"

namespace brask {

struct ProcessInfo {
  pid_t pid = 0;
  pid_t parent = 0;
  pid_t group = 0;
  char state = '?';  // as /proc shows it: 'Z' for a zombie
};

// /proc, readable when the gateway's descriptors have run out, once `keep_open` has
// run: a directory descriptor opened once, and a spare descriptor given up for a moment
// to open one file. Before it, each use opens and closes what it needs.
class ProcDir {
 public:
  void keep_open();

  // Every process of the system; empty when /proc cannot be read.
  std::vector<ProcessInfo> table();
  // One process; nothing once it has gone.
  std::optional<ProcessInfo> info(pid_t pid);

 private:
  UniqueFd open_stat(pid_t pid);

  UniqueFd dir_;
  UniqueFd spare_;
};

// A pidfd for `pid`; invalid when the system has none or no descriptor is free, and
// then callers signal by number.
UniqueFd open_pidfd(pid_t pid);

// A process held through a pidfd where one could be had, so that a signal or a wait
// never reaches a process that took over the number of one that ended.
struct HeldProcess {
  pid_t pid = 0;
  UniqueFd handle;  // invalid: known by number only
};

// SIGKILLs `root`, an unreaped child of the gateway, and every descendant of it that is
// in process group `group`: they are first stopped (SIGSTOP, rescanned until no new one
// appears, so nothing forks away), then killed. Returns the descendants killed, without
// waiting for any of them; nothing is reaped.
std::vector<HeldProcess> kill_tree(ProcDir& proc, pid_t root, pid_t group);

}  // namespace brask
