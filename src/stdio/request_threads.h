// request_threads.h: the request loop's threads. Admits at most `limit` requests at once
// and runs each admitted request on a thread of its own; a thread whose request is
// answered parks and takes the next one, so a request costs a wake-up, not a thread
// start. The loop (one thread) admits, starts and waits; the work runs on the kept threads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

class RequestThreads {
 public:
  // Runs one admitted request on a request thread. It must call `release_slot` exactly
  // once, when the request no longer needs to count against the limit.
  using Work = std::function<void(JsonValue request, const std::function<void()>& release_slot)>;

  RequestThreads(size_t limit, Work work);
  // Waits as `finish` does.
  ~RequestThreads();
  RequestThreads(const RequestThreads&) = delete;
  RequestThreads& operator=(const RequestThreads&) = delete;

  // Takes a slot when fewer than `limit` are taken; false otherwise. Loop only.
  bool try_admit() EXCLUDES(mutex_);

  // Runs `request` on a parked thread, or on a new one when none is parked, so that no
  // admitted request waits for another. Needs a slot from `try_admit`, which is given
  // back on failure: "failed to spawn thread: {system error}". Loop only.
  Result<void> run(JsonValue request) EXCLUDES(mutex_);

  // Waits until every admitted request has finished, then ends and joins every thread.
  // Requests are never cancelled, so there is no deadline. Loop only.
  void finish() EXCLUDES(mutex_);

 private:
  struct Worker {
    CondVar wake;                      // only this worker waits on it
    std::optional<JsonValue> request;  // under mutex_: handed over, not yet taken
    std::jthread thread;               // the loop's
  };

  void serve(Worker& self) EXCLUDES(mutex_);
  void release_slot() EXCLUDES(mutex_);

  const size_t limit_;
  const Work work_;
  Mutex mutex_;                             // guards the fields below and every Worker's `request`
  size_t admitted_ GUARDED_BY(mutex_) = 0;  // holding a slot
  size_t running_ GUARDED_BY(mutex_) = 0;   // handed to a thread and not yet parked again
  bool draining_ GUARDED_BY(mutex_) = false;        // `finish` waits for running_ to reach 0
  bool stopping_ GUARDED_BY(mutex_) = false;        // every thread is to return
  std::vector<Worker*> parked_ GUARDED_BY(mutex_);  // the last parked is woken first
  std::vector<Worker*> exited_ GUARDED_BY(mutex_);  // returned, not yet joined
  CondVar idle_;                                    // running_ reached 0 while draining
  std::vector<std::unique_ptr<Worker>> workers_;    // the loop's
};

}  // namespace brask
