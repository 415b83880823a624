// mutex.h: an annotated mutex and scoped lock for clang's thread-safety analysis.
// The annotations are empty under g++. Wait on a `MutexLock` with `CondVar`, always
// with a predicate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

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
  friend class CondVar;
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
  friend class CondVar;
  Mutex& mutex_;
  bool held_ = true;
};

// A try of `mutex` for one scope: `try_lock()` takes it if it is free, and the scope's end
// releases it if it was taken. The try is a member rather than the constructor's work
// because clang 14's analysis follows a try's outcome only through a return value.
class SCOPED_CAPABILITY MutexTryLock {
 public:
  explicit MutexTryLock(Mutex& mutex) EXCLUDES(mutex) : mutex_(mutex) {}
  ~MutexTryLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexTryLock(const MutexTryLock&) = delete;
  MutexTryLock& operator=(const MutexTryLock&) = delete;

  // Once per scope.
  bool try_lock() TRY_ACQUIRE(true) {
    held_ = mutex_.try_lock();
    return held_;
  }

 private:
  Mutex& mutex_;
  bool held_ = false;
};

// A condition variable over the `Mutex` of a held `MutexLock`. Unlike
// std::condition_variable_any it has no inner lock of its own, so a wake-up costs one
// futex call on each side instead of several.
class CondVar {
 public:
  // Releases the lock while waiting; returns with it held and `done()` true.
  template <class Predicate>
  void wait(MutexLock& lock, Predicate done) {
    std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
    cv_.wait(native, std::move(done));
    native.release();
  }

  // As `wait`, giving up at `deadline`; returns `done()`.
  template <class Clock, class Duration, class Predicate>
  bool wait_until(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                  Predicate done) {
    std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
    bool met = cv_.wait_until(native, deadline, std::move(done));
    native.release();
    return met;
  }

  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace brask
