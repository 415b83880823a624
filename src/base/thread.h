// thread.h: the one wrapper around thread creation, which the standard library reports
// by throwing. Callers add their own context to the failure text. Any thread.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

#include "base/os_error.h"
#include "base/result.h"

namespace brask {

// A running thread of `body`, or the system's refusal as os_error_text.
template <class Body>
Result<std::jthread> start_thread(Body&& body) {
  try {
    return std::jthread(std::forward<Body>(body));
  } catch (const std::system_error& e) {
    return fail(os_error_text(e.code().value()));
  }
}

}  // namespace brask
