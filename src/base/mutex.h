// mutex.h: an annotated mutex and scoped lock for clang's thread-safety analysis.
// The annotations are empty under g++. Wait on a `MutexLock` with
// `std::condition_variable_any`, always with a predicate and a deadline.
#pragma once

#include <mutex>

#if defined(__clang__)
#define BRASK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BRASK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BRASK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BRASK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BRASK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) BRASK_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) BRASK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) BRASK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) BRASK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) BRASK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) BRASK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) BRASK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) BRASK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS BRASK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace brask {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds `mutex` from construction to destruction. `lock()`/`unlock()` exist for
// `std::condition_variable_any`, which releases and retakes the lock while waiting.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    held_ = false;
    mutex_.unlock();
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

}  // namespace brask
