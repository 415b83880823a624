#include "apps/child/queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace brask {
namespace {

using std::chrono::steady_clock;

TEST(Queue, DeliversInOrderAndRefusesWhenFull) {
  auto [sender, receiver] = make_queue<int>(2);
  EXPECT_EQ(sender.try_put(1), PutStatus::Ok);
  EXPECT_EQ(sender.put(2), PutStatus::Ok);
  EXPECT_EQ(sender.try_put(3), PutStatus::Full);
  Taken<int> first = receiver.try_take();
  ASSERT_EQ(first.status, TakeStatus::Item);
  EXPECT_EQ(*first.item, 1);
  EXPECT_EQ(sender.try_put(3), PutStatus::Ok);
  EXPECT_EQ(*receiver.try_take().item, 2);
  EXPECT_EQ(*receiver.try_take().item, 3);
  EXPECT_EQ(receiver.try_take().status, TakeStatus::Empty);
}

TEST(Queue, ReceiverSeesDisconnectedOnlyAfterLastSenderAndLastItem) {
  auto [sender, receiver] = make_queue<std::string>(4);
  Sender<std::string> second = sender;
  ASSERT_EQ(sender.try_put("a"), PutStatus::Ok);
  sender.reset();
  EXPECT_EQ(receiver.try_take().status, TakeStatus::Item);
  EXPECT_EQ(receiver.try_take().status, TakeStatus::Empty);  // `second` still there
  second.reset();
  EXPECT_EQ(receiver.try_take().status, TakeStatus::Disconnected);
  EXPECT_EQ(receiver.take_until(steady_clock::now() + std::chrono::hours(1)).status,
            TakeStatus::Disconnected);
  EXPECT_EQ(receiver.take().status, TakeStatus::Disconnected);
}

TEST(Queue, DeadlineWaitTimesOutButTakesWhatIsAlreadyThere) {
  auto [sender, receiver] = make_queue<int>(4);
  auto start = steady_clock::now();
  EXPECT_EQ(receiver.take_until(start + std::chrono::milliseconds(20)).status, TakeStatus::Empty);
  EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(20));
  ASSERT_EQ(sender.try_put(7), PutStatus::Ok);
  Taken<int> late = receiver.take_until(start);  // deadline long gone
  ASSERT_EQ(late.status, TakeStatus::Item);
  EXPECT_EQ(*late.item, 7);
}

TEST(Queue, GoneReceiverReleasesBlockedSender) {
  auto ends = make_queue<int>(1);
  ASSERT_EQ(ends.sender.put(1), PutStatus::Ok);
  PutStatus blocked = PutStatus::Ok;
  std::thread producer([&ends, &blocked] { blocked = ends.sender.put(2); });
  ends.receiver.reset();
  producer.join();
  EXPECT_EQ(blocked, PutStatus::Disconnected);
  EXPECT_EQ(ends.sender.try_put(3), PutStatus::Disconnected);
}

TEST(Queue, BlockedSenderResumesWhenRoomIsMade) {
  auto ends = make_queue<int>(1);
  ASSERT_EQ(ends.sender.put(1), PutStatus::Ok);
  std::thread producer([&ends] { EXPECT_EQ(ends.sender.put(2), PutStatus::Ok); });
  EXPECT_EQ(*ends.receiver.take().item, 1);
  Taken<int> second = ends.receiver.take_until(steady_clock::now() + std::chrono::seconds(10));
  producer.join();
  ASSERT_EQ(second.status, TakeStatus::Item);
  EXPECT_EQ(*second.item, 2);
}

// Wake-ups are sent only on the empty-to-one and full-to-room changes; a lost one
// shows here as a hang (bounded by the test time-out) or a missing item.
TEST(Queue, ManySendersOnATinyQueueLoseNoItemAndNoWakeUp) {
  constexpr int SENDERS = 4, EACH = 5000;
  for (size_t capacity : {size_t{1}, size_t{2}}) {
    SCOPED_TRACE(capacity);
    auto ends = make_queue<int>(capacity);
    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s) {
      senders.emplace_back([s, sender = ends.sender]() mutable {
        for (int i = 0; i < EACH; ++i)
          ASSERT_EQ(sender.put(s * EACH + i), PutStatus::Ok);
      });
    }
    ends.sender.reset();
    std::vector<int> next(SENDERS, 0);
    int received = 0;
    for (;;) {
      // Alternating the three ways to take covers each one's wake-up of the senders.
      Taken<int> taken =
          received % 3 == 0 ? ends.receiver.take()
          : received % 3 == 1
              ? ends.receiver.take_until(steady_clock::now() + std::chrono::seconds(30))
              : ends.receiver.try_take();
      if (taken.status == TakeStatus::Disconnected)
        break;
      if (taken.status == TakeStatus::Empty) {
        taken = ends.receiver.take();
        if (taken.status == TakeStatus::Disconnected)
          break;
      }
      int sender = *taken.item / EACH;
      EXPECT_EQ(*taken.item % EACH, next[sender]++);
      ++received;
    }
    for (std::thread& t : senders)
      t.join();
    EXPECT_EQ(received, SENDERS * EACH);
  }
}

TEST(Queue, DetachedHandlesReportDisconnected) {
  Sender<int> sender;
  Receiver<int> receiver;
  EXPECT_EQ(sender.try_put(1), PutStatus::Disconnected);
  EXPECT_EQ(sender.put(1), PutStatus::Disconnected);
  EXPECT_EQ(receiver.try_take().status, TakeStatus::Disconnected);
}

}  // namespace
}  // namespace brask
