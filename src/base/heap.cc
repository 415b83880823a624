// heap.cc: the give-back thread; see the header.
#include "base/heap.h"

#include <malloc.h>

#include <optional>
#include <utility>

#include "base/mutex.h"
#include "base/thread.h"

namespace brask {
namespace {

using Clock = std::chrono::steady_clock;

struct GiveBackState {
  Mutex mutex;
  CondVar changed;
  std::optional<Clock::time_point> due GUARDED_BY(mutex);
  bool stopping GUARDED_BY(mutex) = false;
};

GiveBackState& state() {
  static GiveBackState* shared = new GiveBackState;  // never destroyed: any thread may note
  return *shared;
}

void give_back_when_quiet() {
  GiveBackState& s = state();
  MutexLock lock(s.mutex);
  for (;;) {
    s.changed.wait(lock, [&]() REQUIRES(s.mutex) { return s.due.has_value() || s.stopping; });
    if (s.stopping)
      return;
    // A later note moves the deadline; wait until one passes unmoved.
    const Clock::time_point due = *s.due;
    if (s.changed.wait_until(lock, due,
                             [&]() REQUIRES(s.mutex) { return s.stopping || *s.due != due; }))
      continue;
    s.due.reset();
    lock.unlock();
    malloc_trim(0);
    lock.lock();
  }
}

}  // namespace

void use_one_heap() {
  mallopt(M_ARENA_MAX, 1);
}

void note_large_message_end() {
  GiveBackState& s = state();
  MutexLock lock(s.mutex);
  s.due = Clock::now() + HEAP_QUIET_TIME;
  s.changed.notify_one();
}

HeapGiveBack::HeapGiveBack() {
  {
    GiveBackState& s = state();
    MutexLock lock(s.mutex);
    s.stopping = false;  // after an earlier HeapGiveBack
  }
  if (Result<std::jthread> started = start_thread(&give_back_when_quiet); started.ok())
    thread_ = std::move(started).take();
}

HeapGiveBack::~HeapGiveBack() {
  {
    GiveBackState& s = state();
    MutexLock lock(s.mutex);
    s.stopping = true;
    s.changed.notify_one();
  }
  if (thread_.joinable())
    thread_.join();
}

}  // namespace brask
