// out_of_memory.h: the one place besides thread creation where a standard exception is
// caught: a failed allocation. One message or one check that cannot get its memory
// fails alone instead of ending the process with every answer in flight. Any thread.
// docs/hacking.md says where it is caught and what survives.
#pragma once

#include <new>
#include <optional>
#include <type_traits>
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

// Runs `body` and returns what it returns, or nothing when an allocation inside it failed.
template <class Body, class T = std::invoke_result_t<Body>>
std::optional<T> unless_out_of_memory(Body&& body) {
  try {
    return std::optional<T>(std::forward<Body>(body)());
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace brask
