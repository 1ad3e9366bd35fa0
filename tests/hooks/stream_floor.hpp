// The floor of a scan: one read of given bytes, as fast as the memory bus
// allows, to measure searches against.
#pragma once

#include <cstddef>

namespace tessaly {

struct FloatRange {
  const float* data;
  std::size_t count;
};

// Seconds to read a contiguous matrix of `count` floats once, in order, with
// independent accumulators (32-byte loads where the processor has them),
// split into `threads` contiguous parts each read by a thread of its own:
// the faster of a plain read and one that prefetches ahead by hand.
// Negative if the threads cannot be started.
double time_matrix_read(const float* data, std::size_t count, std::size_t threads) noexcept;

}  // namespace tessaly
