#include "base/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace brask {

void give_back_large_blocks() {
#if defined(__GLIBC__)
  // Setting the threshold also stops glibc from moving it.
  (void)::mallopt(M_MMAP_THRESHOLD, static_cast<int>(OWN_MAPPING_BYTES));
#endif
}

}  // namespace brask
