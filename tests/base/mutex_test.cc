#include "base/mutex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace brask {
namespace {

using std::chrono::steady_clock;

constexpr auto GIVE_UP = std::chrono::seconds(10);  // fails the test; never reached when sound

steady_clock::time_point give_up_at() {
  return steady_clock::now() + GIVE_UP;
}

struct HandOff {
  Mutex mutex;
  CondVar changed;
  int turn GUARDED_BY(mutex) = 0;  // even: the main thread's move, odd: the other's
  bool stalled GUARDED_BY(mutex) = false;

  // Waits for a turn of `parity` and takes it; false (and the test is over)
  // when none came.
  bool take_turn(MutexLock& lock, int parity) REQUIRES(mutex) {
    if (!changed.wait_until(lock, give_up_at(),
                            [&]() REQUIRES(mutex) { return turn % 2 == parity || stalled; }) ||
        stalled) {
      stalled = true;
      changed.notify_one();
      return false;
    }
    ++turn;
    changed.notify_one();
    return true;
  }
};

// Two threads hand a turn back and forth, each notifying right after its change
// while the other may be between its predicate check and its sleep. A notify
// lost in that window leaves the waiter asleep until its deadline.
TEST(CondVar, NoHandOffIsLost) {
  constexpr int ROUNDS = 20000;
  HandOff h;
  std::thread other([&h] {
    MutexLock lock(h.mutex);
    for (int i = 0; i < ROUNDS && h.take_turn(lock, 1); ++i) {
    }
  });
  {
    MutexLock lock(h.mutex);
    for (int i = 0; i < ROUNDS && h.take_turn(lock, 0); ++i) {
    }
  }
  other.join();
  MutexLock lock(h.mutex);
  EXPECT_FALSE(h.stalled);
  EXPECT_EQ(h.turn, 2 * ROUNDS);
}

struct Gate {
  Mutex mutex;
  CondVar opened;    // the waiters wait on it
  CondVar progress;  // only the opener waits on it
  int arrived GUARDED_BY(mutex) = 0;
  bool open GUARDED_BY(mutex) = false;
  int passed GUARDED_BY(mutex) = 0;
};

TEST(CondVar, NotifyAllWakesEveryWaiter) {
  constexpr int WAITERS = 4;
  Gate g;
  std::vector<std::thread> waiters;
  for (int i = 0; i < WAITERS; ++i) {
    waiters.emplace_back([&g] {
      MutexLock lock(g.mutex);
      ++g.arrived;
      g.progress.notify_one();
      // Twice the opener's patience: a waiter left asleep passes only after the
      // opener has given up on it.
      g.opened.wait_until(lock, give_up_at() + GIVE_UP, [&]() REQUIRES(g.mutex) { return g.open; });
      ++g.passed;
      g.progress.notify_one();
    });
  }
  {
    MutexLock lock(g.mutex);
    // Each waiter is in its wait from here on, most of them asleep.
    EXPECT_TRUE(g.progress.wait_until(lock, give_up_at(),
                                      [&]() REQUIRES(g.mutex) { return g.arrived == WAITERS; }));
    g.open = true;
  }
  g.opened.notify_all();
  {
    MutexLock lock(g.mutex);
    EXPECT_TRUE(g.progress.wait_until(lock, give_up_at(),
                                      [&]() REQUIRES(g.mutex) { return g.passed == WAITERS; }));
  }
  for (std::thread& waiter : waiters)
    waiter.join();
}

TEST(CondVar, WaitUntilGivesUpAtItsDeadline) {
  Mutex mutex;
  CondVar never;
  MutexLock lock(mutex);
  const auto start = steady_clock::now();
  EXPECT_FALSE(never.wait_until(lock, start + std::chrono::milliseconds(50), [] { return false; }));
  const auto waited = steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  EXPECT_LT(waited, GIVE_UP);
}

TEST(MutexTryLock, TakesOnlyAFreeMutexAndReleasesOnlyWhatItTook) {
  Mutex mutex;
  {
    MutexTryLock first(mutex);
    ASSERT_TRUE(first.try_lock());
  }
  // The scope's end gave it back: another thread can hold it now.
  Gate g;  // `open`: the holder has it; `passed`: the holder may let go
  std::thread holder([&] {
    MutexLock hold(mutex);
    MutexLock lock(g.mutex);
    g.open = true;
    g.progress.notify_all();
    g.opened.wait_until(lock, give_up_at(), [&]() REQUIRES(g.mutex) { return g.passed > 0; });
  });
  {
    MutexLock lock(g.mutex);
    EXPECT_TRUE(
        g.progress.wait_until(lock, give_up_at(), [&]() REQUIRES(g.mutex) { return g.open; }));
  }
  for (int i = 0; i < 2; ++i) {
    // A failed try leaves the holder's lock alone, so the second try fails too.
    SCOPED_TRACE(i);
    MutexTryLock busy(mutex);
    if (busy.try_lock())
      ADD_FAILURE() << "took a mutex another thread holds";
  }
  {
    MutexLock lock(g.mutex);
    g.passed = 1;
  }
  g.opened.notify_all();
  holder.join();
  MutexTryLock again(mutex);
  EXPECT_TRUE(again.try_lock());
}

}  // namespace
}  // namespace brask
