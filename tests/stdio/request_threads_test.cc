#include "stdio/request_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace brask {
namespace {

constexpr auto GENEROUS = std::chrono::seconds(10);

// A count that tests wait on, with a deadline that only fails the test.
class Counter {
 public:
  void add() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool reaches(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, GENEROUS, [&] { return count_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(RequestThreads, SequentialRequestsReuseAKeptThread) {
  constexpr int REQUESTS = 50;
  std::mutex ids_mutex;
  std::set<std::thread::id> ids;
  Counter answered;
  RequestThreads threads(4, [&](JsonValue, const std::function<void()>& release_slot) {
    {
      std::lock_guard<std::mutex> lock(ids_mutex);
      ids.insert(std::this_thread::get_id());
    }
    release_slot();
    answered.add();
  });
  for (int i = 0; i < REQUESTS; ++i) {
    ASSERT_TRUE(threads.try_admit());
    ASSERT_TRUE(threads.run(JsonValue(i)).ok());
    ASSERT_TRUE(answered.reaches(i + 1));
  }
  threads.finish();
  // A thread that has not parked yet when the next request comes means one more thread;
  // never reusing one means a thread per request.
  EXPECT_LE(ids.size(), static_cast<size_t>(REQUESTS / 2));
}

TEST(RequestThreads, RefusesPastTheLimitUntilASlotIsGivenBack) {
  std::mutex gate_mutex;
  std::condition_variable gate;
  bool open = false;
  Counter released;
  RequestThreads threads(2, [&](JsonValue, const std::function<void()>& release_slot) {
    std::unique_lock<std::mutex> lock(gate_mutex);
    gate.wait_for(lock, GENEROUS, [&] { return open; });
    lock.unlock();
    release_slot();
    released.add();
  });
  ASSERT_TRUE(threads.try_admit());
  ASSERT_TRUE(threads.run(JsonValue(1)).ok());
  ASSERT_TRUE(threads.try_admit());
  ASSERT_TRUE(threads.run(JsonValue(2)).ok());
  EXPECT_FALSE(threads.try_admit());
  {
    std::lock_guard<std::mutex> lock(gate_mutex);
    open = true;
  }
  gate.notify_all();
  ASSERT_TRUE(released.reaches(2));
  ASSERT_TRUE(threads.try_admit());
  ASSERT_TRUE(threads.run(JsonValue(3)).ok());
}

TEST(RequestThreads, DestructionWaitsForRunningWorkAndJoins) {
  constexpr int REQUESTS = 4;
  Counter started;
  Counter go;
  std::atomic<int> finished{0};
  {
    RequestThreads threads(REQUESTS, [&](JsonValue, const std::function<void()>& release_slot) {
      started.add();
      EXPECT_TRUE(go.reaches(1));
      // The slot is given back before the work ends, as an answer's writer does; the
      // work after it must still be waited for.
      release_slot();
      for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
      finished.fetch_add(1);
    });
    for (int i = 0; i < REQUESTS; ++i) {
      ASSERT_TRUE(threads.try_admit());
      ASSERT_TRUE(threads.run(JsonValue(i)).ok());
    }
    ASSERT_TRUE(started.reaches(REQUESTS));
    go.add();
  }
  EXPECT_EQ(finished.load(), REQUESTS);
}

}  // namespace
}  // namespace brask
