// mutex.h: an annotated mutex and scoped lock for clang's thread-safety analysis.
// The annotations are empty under g++. Wait on a `MutexLock` with `CondVar`, always
// with a predicate.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
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
  std::mutex mutex_;
};

// Holds `mutex` from construction to destruction. `lock()`/`unlock()` exist for
// `CondVar` and `std::condition_variable_any`, which release and retake it while waiting.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_)
      mutex_.unlock();
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

// A try of `mutex` for one scope: `try_lock()` takes it if it is free, and the scope's end
// releases it if it was taken. The try is a member rather than the constructor's work
// because clang 14's analysis follows a try's outcome only through a return value.
class SCOPED_CAPABILITY MutexTryLock {
 public:
  explicit MutexTryLock(Mutex& mutex) EXCLUDES(mutex) : mutex_(mutex) {}
  ~MutexTryLock() RELEASE() {
    if (held_)
      mutex_.unlock();
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

// A condition variable over the `Mutex` of a held `MutexLock`, on a futex of its own. A
// waiter reads the wake-up count with the lock held and sleeps only while it is unchanged,
// so a notify that follows a change of the guarded state is never missed. On waking the
// lock is taken again plainly, so releasing it costs no system call; glibc's condition
// variable takes it back marked as contended, which costs one futex call per wake-up.
// Every notify is a system call: callers notify only when someone may be waiting, and
// change the guarded state only with the lock held.
class CondVar {
 public:
  // Releases the lock while waiting; returns with it held and `done()` true. `done` runs
  // with the lock held (which the analysis cannot see through the template).
  template <class Predicate>
  void wait(MutexLock& lock, Predicate done) NO_THREAD_SAFETY_ANALYSIS {
    while (!done())
      sleep(lock, nullptr);
  }

  // As `wait`, giving up at `deadline`; returns `done()`.
  template <class Predicate>
  bool wait_until(MutexLock& lock, std::chrono::steady_clock::time_point deadline,
                  Predicate done) NO_THREAD_SAFETY_ANALYSIS {
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline)
        return false;
      // The steady clock is CLOCK_MONOTONIC, which the futex's absolute time-out uses.
      const auto since = deadline.time_since_epoch();
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
      timespec at{};
      at.tv_sec = static_cast<time_t>(seconds.count());
      at.tv_nsec = static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
      sleep(lock, &at);
    }
    return true;
  }

  void notify_one() noexcept { wake(1); }
  void notify_all() noexcept { wake(INT_MAX); }

 private:
  void sleep(MutexLock& lock, const timespec* deadline) NO_THREAD_SAFETY_ANALYSIS {
    const uint32_t seen = wakes_.load();
    lock.unlock();
    // Returns at once when a notify came after `seen` was read; interrupted, timed out or
    // woken for nothing, the caller looks at its predicate again.
    ::syscall(SYS_futex, &wakes_, FUTEX_WAIT_BITSET_PRIVATE, seen, deadline, nullptr,
              FUTEX_BITSET_MATCH_ANY);
    lock.lock();
  }

  void wake(int count) noexcept {
    wakes_.fetch_add(1);
    ::syscall(SYS_futex, &wakes_, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
  }

  std::atomic<uint32_t> wakes_{0};  // notifies so far, wrapping
};

}  // namespace brask
