// os_error.h: the one way a system error number becomes text:
// "<description> (os error <n>)". Thread-safe (strerror_r, never strerror).
#pragma once

#include <string.h>

#include <string>

namespace brask {

inline std::string os_error_text(int err) {
  char buffer[256];
  buffer[0] = '\0';
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* description = strerror_r(err, buffer, sizeof buffer);
#else
  const char* description = strerror_r(err, buffer, sizeof buffer) == 0 ? buffer : "Unknown error";
#endif
  return std::string(description) + " (os error " + std::to_string(err) + ")";
}

}  // namespace brask
