#include "stdio/request_threads.h"

#include <string>
#include <utility>

#include "base/thread.h"

namespace brask {

RequestThreads::RequestThreads(size_t limit, Work work) : limit_(limit), work_(std::move(work)) {}

RequestThreads::~RequestThreads() {
  finish();
}

bool RequestThreads::try_admit() {
  MutexLock lock(mutex_);
  if (admitted_ >= limit_)
    return false;
  ++admitted_;
  ++running_;
  return true;
}

void RequestThreads::release_slot() {
  MutexLock lock(mutex_);
  --admitted_;
}

Result<void> RequestThreads::run(JsonValue request) {
  Worker* worker = nullptr;
  bool handed = false;
  {
    MutexLock lock(mutex_);
    if (!parked_.empty()) {
      worker = parked_.back();
      parked_.pop_back();
      worker->request.emplace(std::move(request));
      handed = true;
    } else if (!exited_.empty()) {
      worker = exited_.back();
      exited_.pop_back();
    }
  }
  if (handed) {
    worker->wake.notify_one();
    return {};
  }
  if (worker) {
    // It has returned, or is about to: nothing is left for it to do.
    if (worker->thread.joinable())
      worker->thread.join();
  } else {
    workers_.push_back(std::make_unique<Worker>());
    worker = workers_.back().get();
  }
  {
    MutexLock lock(mutex_);
    worker->request.emplace(std::move(request));
  }
  Result<std::jthread> started = start_thread([this, worker] { serve(*worker); });
  if (!started.ok()) {
    MutexLock lock(mutex_);
    worker->request.reset();
    exited_.push_back(worker);
    --admitted_;
    --running_;
    if (running_ == 0 && draining_)
      idle_.notify_all();
    return fail("failed to spawn thread: " + started.error());
  }
  worker->thread = std::move(started).take();
  return {};
}

void RequestThreads::serve(Worker& self) {
  MutexLock lock(mutex_);
  for (;;) {
    self.wake.wait(lock, [&]() REQUIRES(mutex_) { return self.request.has_value() || stopping_; });
    if (!self.request)
      break;
    JsonValue request = std::move(*self.request);
    self.request.reset();
    lock.unlock();
    work_(std::move(request), [this] { release_slot(); });
    lock.lock();
    --running_;
    if (running_ == 0 && draining_)
      idle_.notify_all();
    // More threads than requests can ever run at once: this one is not needed.
    if (parked_.size() >= limit_)
      break;
    parked_.push_back(&self);
  }
  if (!stopping_)
    exited_.push_back(&self);
}

void RequestThreads::finish() {
  {
    MutexLock lock(mutex_);
    draining_ = true;
    idle_.wait(lock, [this]() REQUIRES(mutex_) { return running_ == 0; });
    stopping_ = true;
    parked_.clear();
    exited_.clear();
  }
  for (const std::unique_ptr<Worker>& worker : workers_)
    worker->wake.notify_one();
  for (const std::unique_ptr<Worker>& worker : workers_) {
    if (worker->thread.joinable())
      worker->thread.join();
  }
  workers_.clear();
}

}  // namespace brask
