// memory.h: how the gateway's heap gives memory back.
#pragma once

#include <cstddef>

namespace brask {

// Blocks at least this large are mapped on their own and unmapped when freed.
inline constexpr size_t OWN_MAPPING_BYTES = 1 << 20;

// Makes a freed large block go back to the system at once, from any thread. Left to
// itself, glibc raises its mmap threshold to the largest block freed, so the blocks of one
// large message are later kept in the heaps of the threads that used them: a gateway that
// relayed an 8 MiB echo stayed 30 MiB larger for as long as it ran. Costs the next large
// message fresh pages. Call once, before any thread starts.
void give_back_large_blocks();

}  // namespace brask
