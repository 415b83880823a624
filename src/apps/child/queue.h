// queue.h: a bounded first-in first-out queue split into `Sender` and `Receiver`
// handles that share its state, so a detached thread keeps the queue alive by holding
// its handle. Any number of senders (copies count), one receiver. Either side learns
// that the other is entirely gone as `Disconnected`. Bounded by count and, for item
// types that weigh something (QueueWeight), by bytes. Safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "base/mutex.h"

namespace brask {

enum class PutStatus { Ok, Full, Disconnected };
enum class TakeStatus { Item, Empty, Disconnected };  // Empty: nothing by the deadline

// What an item counts against a queue's byte bound; nothing unless specialised.
template <class T>
struct QueueWeight {
  static size_t of(const T&) { return 0; }
};

template <class T>
struct Taken {
  TakeStatus status;
  std::optional<T> item;  // present exactly when status is Item
};

namespace queue_detail {

template <class T>
struct State {
  State(size_t capacity, size_t max_bytes) : capacity(capacity), max_bytes(max_bytes) {}

  const size_t capacity;
  const size_t max_bytes;  // 0: no byte bound
  Mutex mutex;             // guards the fields below
  // Each is notified only when someone waits on it, after the mutex is released, so a
  // woken thread does not block on it at once. `arrived`: an item came, or the last
  // sender went; the one receiver waits on it. `room`: an item was taken from a full
  // queue, or the receiver went; senders wait on it, one woken per item taken.
  CondVar arrived;
  CondVar room;
  std::deque<T> items GUARDED_BY(mutex);
  size_t bytes GUARDED_BY(mutex) = 0;  // QueueWeight of `items`
  size_t senders GUARDED_BY(mutex) = 1;
  bool receiver_alive GUARDED_BY(mutex) = true;
  bool receiver_waiting GUARDED_BY(mutex) = false;
  size_t senders_waiting GUARDED_BY(mutex) = 0;

  // Whether an item of `weight` fits. One item always fits into a queue that holds no
  // bytes, so an item over the byte bound still passes, alone.
  bool has_room(size_t weight) const REQUIRES(mutex) {
    if (items.size() >= capacity)
      return false;
    return max_bytes == 0 || bytes == 0 || bytes + weight <= max_bytes;
  }

  // Adds `item` with the lock held; whether the receiver must be woken.
  bool push_locked(T&& item, size_t weight) REQUIRES(mutex) {
    items.push_back(std::move(item));
    bytes += weight;
    return std::exchange(receiver_waiting, false);
  }
};

}  // namespace queue_detail

template <class T>
class Sender {
 public:
  Sender() = default;  // detached: every put reports Disconnected
  explicit Sender(std::shared_ptr<queue_detail::State<T>> state) : state_(std::move(state)) {}
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      MutexLock lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender& operator=(const Sender&) = delete;
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      reset();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Sender() { reset(); }

  // Waits while the queue is full. Disconnected once the receiver is gone.
  PutStatus put(T item) {
    // Documented wake-up instead of a deadline: the receiver takes an item or goes away.
    return put_with(std::move(item), Waiting::Forever, {});
  }

  // Waits while the queue is full, until `deadline`; Full when there is still no room.
  PutStatus put_until(T item, std::chrono::steady_clock::time_point deadline) {
    return put_with(std::move(item), Waiting::Until, deadline);
  }

  // Never waits.
  PutStatus try_put(T item) { return put_with(std::move(item), Waiting::Never, {}); }

  // Gives up this handle; the last one gone disconnects the receiver once it has
  // taken what is queued.
  void reset() {
    if (!state_)
      return;
    bool wake = false;
    {
      MutexLock lock(state_->mutex);
      wake = --state_->senders == 0 && state_->receiver_waiting;
    }
    if (wake)
      state_->arrived.notify_one();
    state_.reset();
  }

 private:
  enum class Waiting { Never, Forever, Until };

  // Queues the item once there is room, waiting for it as `waiting` says.
  PutStatus put_with(T item, Waiting waiting, std::chrono::steady_clock::time_point deadline) {
    if (!state_)
      return PutStatus::Disconnected;
    auto& s = *state_;
    const size_t weight = QueueWeight<T>::of(item);
    bool wake = false;
    {
      MutexLock lock(s.mutex);
      const auto room = [&]() REQUIRES(s.mutex) { return !s.receiver_alive || s.has_room(weight); };
      while (waiting != Waiting::Never && !room()) {
        ++s.senders_waiting;
        bool woken = true;
        if (waiting == Waiting::Forever) {
          s.room.wait(lock, room);
        } else {
          woken = s.room.wait_until(lock, deadline, room);
        }
        --s.senders_waiting;
        if (!woken)
          break;
      }
      if (!s.receiver_alive)
        return PutStatus::Disconnected;
      if (!s.has_room(weight))
        return PutStatus::Full;
      wake = s.push_locked(std::move(item), weight);
    }
    if (wake)
      s.arrived.notify_one();
    return PutStatus::Ok;
  }

  std::shared_ptr<queue_detail::State<T>> state_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;  // detached: every take reports Disconnected
  explicit Receiver(std::shared_ptr<queue_detail::State<T>> state) : state_(std::move(state)) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&& other) noexcept : state_(std::move(other.state_)) {}
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      reset();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { reset(); }

  // Waits until an item arrives, every sender is gone, or `deadline` passes. An item
  // already queued is returned even when the deadline has passed.
  Taken<T> take_until(std::chrono::steady_clock::time_point deadline) {
    return take_after([deadline](queue_detail::State<T>& s, MutexLock& lock) {
      s.arrived.wait_until(lock, deadline, [&]() REQUIRES(s.mutex) { return ready_locked(s); });
    });
  }

  // Waits until an item arrives or every sender is gone (the documented wake-up of
  // a consumer that has nothing else to do).
  Taken<T> take() {
    return take_after([](queue_detail::State<T>& s, MutexLock& lock) {
      s.arrived.wait(lock, [&]() REQUIRES(s.mutex) { return ready_locked(s); });
    });
  }

  // Never waits.
  Taken<T> try_take() {
    return take_after([](queue_detail::State<T>&, MutexLock&) {});
  }

  // Gives up the queue: senders see Disconnected, and what is still queued is freed
  // here, outside the lock.
  void reset() {
    if (!state_)
      return;
    std::deque<T> dropped;
    bool wake = false;
    {
      MutexLock lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->items);
      state_->bytes = 0;
      wake = state_->senders_waiting > 0;
    }
    if (wake)
      state_->room.notify_all();
    state_.reset();
  }

 private:
  // What a waiting receiver waits for.
  static bool ready_locked(const queue_detail::State<T>& s) REQUIRES(s.mutex) {
    return !s.items.empty() || s.senders == 0;
  }

  // Runs `wait` with the lock held, then takes the first item if there is one. A sender
  // waiting for room is woken after the lock is released, one per item taken; all of
  // them under a byte bound, where the one woken may still not fit.
  template <class Wait>
  Taken<T> take_after(Wait wait) {
    if (!state_)
      return {TakeStatus::Disconnected, std::nullopt};
    auto& s = *state_;
    Taken<T> taken{TakeStatus::Empty, std::nullopt};
    bool wake = false;
    bool wake_all = false;
    {
      MutexLock lock(s.mutex);
      if (!ready_locked(s)) {
        s.receiver_waiting = true;
        wait(s, lock);
        s.receiver_waiting = false;
      }
      if (!s.items.empty()) {
        wake = s.senders_waiting > 0;
        wake_all = s.max_bytes != 0;
        taken.status = TakeStatus::Item;
        taken.item.emplace(std::move(s.items.front()));
        s.items.pop_front();
        s.bytes -= QueueWeight<T>::of(*taken.item);
      } else if (s.senders == 0) {
        taken.status = TakeStatus::Disconnected;
      }
    }
    if (wake) {
      if (wake_all) {
        s.room.notify_all();
      } else {
        s.room.notify_one();
      }
    }
    return taken;
  }

  std::shared_ptr<queue_detail::State<T>> state_;
};

template <class T>
struct QueueEnds {
  Sender<T> sender;
  Receiver<T> receiver;
};

// A new queue holding at most `capacity` items and, unless `max_bytes` is 0, at most
// `max_bytes` of their QueueWeight (or one item of any weight), with one sender and its
// receiver.
template <class T>
QueueEnds<T> make_queue(size_t capacity, size_t max_bytes = 0) {
  auto state = std::make_shared<queue_detail::State<T>>(capacity, max_bytes);
  return QueueEnds<T>{Sender<T>(state), Receiver<T>(std::move(state))};
}

}  // namespace brask
