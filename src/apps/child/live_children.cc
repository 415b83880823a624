// live_children.cc: a set of pids behind one mutex, which also serialises every stop;
// see the header.
#include "apps/child/live_children.h"

#include <algorithm>
#include <vector>

#include "apps/child/process_tree.h"
#include "base/mutex.h"

namespace brask {
namespace {

struct LiveChildren {
  Mutex mutex;
  std::vector<pid_t> pids GUARDED_BY(mutex);
  bool stopping GUARDED_BY(mutex) = false;
};

LiveChildren& live_children() {
  // Never destroyed: the signal thread may use it while the process exits.
  static LiveChildren* children = new LiveChildren;
  return *children;
}

}  // namespace

Result<pid_t> start_live_child(const std::function<Result<pid_t>()>& start) {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  if (children.stopping)
    return fail("the gateway is stopping");
  Result<pid_t> pid = start();
  if (pid.ok())
    children.pids.push_back(*pid);
  return pid;
}

void stop_live_child(pid_t pid) {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  auto at = std::find(children.pids.begin(), children.pids.end(), pid);
  // Gone from the record: the signal thread has stopped it already, and the number may
  // name another process by now.
  if (at == children.pids.end())
    return;
  *at = children.pids.back();
  children.pids.pop_back();
  kill_tree(pid);
  stop_orphans(children.pids);
}

void kill_live_children() {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  children.stopping = true;
  // The owners may stop theirs concurrently once they get the lock; by then their pids
  // are out of the record and they do nothing.
  for (pid_t pid : children.pids)
    kill_tree(pid);
  children.pids.clear();
  stop_orphans(children.pids);
}

size_t live_child_count() {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  return children.pids.size();
}

}  // namespace brask
