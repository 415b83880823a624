// heap.h: giving the heap's free pages back to the system after large messages.
// A message of many MiB leaves its pages resident when it is freed. Fresh pages cost more
// than the copies a relay makes (an 8 MiB echo takes three times as long when every
// message gets new ones), so a burst of large messages reuses them, and they are given
// back once none has ended for HEAP_QUIET_TIME.
#pragma once

#include <chrono>
#include <cstddef>
#include <thread>

namespace brask {

// Messages from this size on are noted when they end.
inline constexpr size_t LARGE_MESSAGE_BYTES = 1 << 20;
inline constexpr std::chrono::milliseconds HEAP_QUIET_TIME{500};

// One heap for every thread: the allocator gives back only its main heap's top, and a
// message is read, relayed and answered on three different threads. Call before any
// thread starts.
void use_one_heap();

// Any thread; cheap enough to call for every large message.
void note_large_message_end();

// The thread that gives the pages back, from construction until destruction. Without
// it (the system refused the thread) nothing is given back, which costs only memory.
class HeapGiveBack {
 public:
  HeapGiveBack();
  HeapGiveBack(const HeapGiveBack&) = delete;
  HeapGiveBack& operator=(const HeapGiveBack&) = delete;
  ~HeapGiveBack();

 private:
  std::jthread thread_;
};

}  // namespace brask
