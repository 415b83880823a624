// out_of_memory.h: the one place besides thread creation where a standard exception is
// caught: a failed allocation. One message or one check that cannot get its memory
// fails alone instead of ending the process with every answer in flight. Any thread.
#pragma once

#include <new>
#include <utility>

namespace brask {

// Runs `body`; true when an allocation inside it failed (std::bad_alloc), whose effects
// stop where the allocation failed.
template <class Body>
bool runs_out_of_memory(Body&& body) {
  try {
    std::forward<Body>(body)();
    return false;
  } catch (const std::bad_alloc&) {
    return true;
  }
}

}  // namespace brask
