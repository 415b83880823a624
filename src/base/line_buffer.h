// line_buffer.h: `LineBuffer`, the bytes of one incoming line, for the agent's input
// and for each app's output. Lines of many MiB are normal (tool arguments and answers),
// so the buffer grows with realloc: a large block is moved by remapping its pages,
// not copied and faulted in again, and peak memory stays near one line.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/heap.h"

namespace brask {

class LineBuffer {
 public:
  // Growth never reserves past `limit` unless asked to; `clear` gives back a buffer
  // whose capacity went past `kept`.
  LineBuffer(size_t limit, size_t kept) : limit_(limit), kept_(kept) {}
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { std::free(data_); }

  // False when memory runs out; the buffer is unchanged then.
  bool append(const char* bytes, size_t count) {
    if (count > capacity_ - size_) {
      size_t wanted = std::max({size_ + count, std::min(capacity_ * 2, limit_), size_t{4096}});
      char* grown = static_cast<char*>(std::realloc(data_, wanted));
      if (!grown)
        return false;
      data_ = grown;
      capacity_ = wanted;
    }
    if (count > 0)
      std::memcpy(data_ + size_, bytes, count);
    size_ += count;
    return true;
  }

  std::string_view view() const { return {data_, size_}; }
  size_t size() const { return size_; }

  // Empties the buffer; a large one is given back to the system.
  void clear() {
    size_ = 0;
    if (capacity_ > kept_)
      release();
  }

  // Empties the buffer and gives back its memory.
  void release() {
    if (capacity_ >= LARGE_MESSAGE_BYTES)
      note_large_message_end();
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
  }

 private:
  const size_t limit_;
  const size_t kept_;
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace brask
