// queue.h: a bounded first-in first-out queue split into `Sender` and `Receiver`
// handles that share its state, so a detached thread keeps the queue alive by holding
// its handle. Any number of senders (copies count), one receiver. Either side learns
// that the other is entirely gone as `Disconnected`. Safe from any thread.
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

template <class T>
struct Taken {
  TakeStatus status;
  std::optional<T> item;  // present exactly when status is Item
};

namespace queue_detail {

template <class T>
struct State {
  explicit State(size_t capacity) : capacity(capacity) {}

  const size_t capacity;
  Mutex mutex;  // guards the three fields below
  // Items taken from a full queue or added to an empty one, or a side went away.
  // Notified after the mutex is released, so a woken thread does not block on it at once.
  CondVar changed;
  std::deque<T> items GUARDED_BY(mutex);
  size_t senders GUARDED_BY(mutex) = 1;
  bool receiver_alive GUARDED_BY(mutex) = true;
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
    if (!state_) return PutStatus::Disconnected;
    auto& s = *state_;
    bool was_empty = false;
    {
      MutexLock lock(s.mutex);
      // Documented wake-up instead of a deadline: the receiver takes an item or goes away.
      s.changed.wait(lock, [&]() REQUIRES(s.mutex) {
        return !s.receiver_alive || s.items.size() < s.capacity;
      });
      if (!s.receiver_alive) return PutStatus::Disconnected;
      was_empty = s.items.empty();
      s.items.push_back(std::move(item));
    }
    // Only an empty queue can have a receiver waiting on it.
    if (was_empty) s.changed.notify_all();
    return PutStatus::Ok;
  }

  // Never waits.
  PutStatus try_put(T item) {
    if (!state_) return PutStatus::Disconnected;
    auto& s = *state_;
    bool was_empty = false;
    {
      MutexLock lock(s.mutex);
      if (!s.receiver_alive) return PutStatus::Disconnected;
      if (s.items.size() >= s.capacity) return PutStatus::Full;
      was_empty = s.items.empty();
      s.items.push_back(std::move(item));
    }
    if (was_empty) s.changed.notify_all();
    return PutStatus::Ok;
  }

  // Gives up this handle; the last one gone disconnects the receiver once it has
  // taken what is queued.
  void reset() {
    if (!state_) return;
    {
      MutexLock lock(state_->mutex);
      --state_->senders;
    }
    state_->changed.notify_all();
    state_.reset();
  }

 private:
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
      s.changed.wait_until(lock, deadline, [&]() REQUIRES(s.mutex) { return ready(s); });
    });
  }

  // Waits until an item arrives or every sender is gone (the documented wake-up of
  // a consumer that has nothing else to do).
  Taken<T> take() {
    return take_after([](queue_detail::State<T>& s, MutexLock& lock) {
      s.changed.wait(lock, [&]() REQUIRES(s.mutex) { return ready(s); });
    });
  }

  // Never waits.
  Taken<T> try_take() {
    return take_after([](queue_detail::State<T>&, MutexLock&) {});
  }

  // Gives up the queue: senders see Disconnected, and what is still queued is freed
  // here, outside the lock.
  void reset() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      MutexLock lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->items);
    }
    state_->changed.notify_all();
    state_.reset();
  }

 private:
  // What a waiting receiver waits for.
  static bool ready(const queue_detail::State<T>& s) REQUIRES(s.mutex) {
    return !s.items.empty() || s.senders == 0;
  }

  // Runs `wait` with the lock held, then takes the first item if there is one. Senders
  // are woken after the lock is released, and only when the queue was full: only then
  // can one be waiting for room.
  template <class Wait>
  Taken<T> take_after(Wait wait) {
    if (!state_) return {TakeStatus::Disconnected, std::nullopt};
    auto& s = *state_;
    Taken<T> taken{TakeStatus::Empty, std::nullopt};
    bool was_full = false;
    {
      MutexLock lock(s.mutex);
      wait(s, lock);
      if (!s.items.empty()) {
        was_full = s.items.size() >= s.capacity;
        taken.status = TakeStatus::Item;
        taken.item.emplace(std::move(s.items.front()));
        s.items.pop_front();
      } else if (s.senders == 0) {
        taken.status = TakeStatus::Disconnected;
      }
    }
    if (was_full) s.changed.notify_all();
    return taken;
  }

  std::shared_ptr<queue_detail::State<T>> state_;
};

template <class T>
struct QueueEnds {
  Sender<T> sender;
  Receiver<T> receiver;
};

// A new queue holding at most `capacity` items, with one sender and its receiver.
template <class T>
QueueEnds<T> make_queue(size_t capacity) {
  auto state = std::make_shared<queue_detail::State<T>>(capacity);
  return QueueEnds<T>{Sender<T>(state), Receiver<T>(std::move(state))};
}

}  // namespace brask
