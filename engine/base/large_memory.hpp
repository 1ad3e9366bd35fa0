// Memory for arrays of a few MiB or more, in 2 MiB pages where the system gives
// them: the first touch of each 4 KiB page costs a fault, and in some
// virtual machines a fault costs microseconds, more than filling the page.
//
// A block is mapped on its own, 2 MiB-aligned and advised for huge pages,
// its length rounded up to whole 2 MiB pages; it starts zeroed.
#pragma once

#include <cstddef>

namespace tessaly::large_memory {

// Arrays of this many bytes or more take their memory from here.
inline constexpr std::size_t kLargeBytes = std::size_t{2} << 20;

// Null if the memory cannot be had.
void* allocate(std::size_t bytes) noexcept;
// A block of `bytes` holding the first `old_bytes` of `memory` (a block of
// `old_bytes`, released) without copying them; null (and `memory` as it
// was) if it cannot be had.
void* reallocate(void* memory, std::size_t old_bytes, std::size_t bytes) noexcept;
void release(void* memory, std::size_t bytes) noexcept;

}  // namespace tessaly::large_memory
