// unique_fd.h: `UniqueFd`, the sole owner of one descriptor, and the EINTR-safe
// read/write helpers every module uses. Pipes are always close-on-exec so a
// concurrent spawn cannot inherit another child's ends.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

#include "base/os_error.h"
#include "base/result.h"

namespace brask {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;  // -1 when empty
};

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// A new pipe, both ends close-on-exec. Failure: the system error text.
inline Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return fail(os_error_text(errno));
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// read(2) retried on EINTR. Returns bytes read (0 at end of stream) or -1 with errno set.
inline ssize_t read_retry(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR)
      return n;
  }
}

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), or has an error or hang-up
// that the next read or write will report. For descriptors that someone else may have
// made non-blocking (a parent sharing its pipe or terminal); the wake-up is the
// descriptor itself.
inline void wait_ready(int fd, short events) {
  pollfd p{fd, events, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

// Writes every byte, retrying short writes and EINTR, and waiting for room when the
// descriptor is non-blocking. Failure: errno of the failing write.
inline Result<void> write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_ready(fd, POLLOUT);
        continue;
      }
      return fail(os_error_text(errno));
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return {};
}

}  // namespace brask
