// The floor of a scan: one read of given bytes, as fast as the memory bus
// allows, to measure searches against.
#pragma once

#include <cstddef>
#include <span>

namespace tessaly {

struct FloatRange {
  const float* data;
  std::size_t count;
};

// Seconds to read every float of the ranges once, in order, with
// independent accumulators (the widest loads the processor has), split into
// `threads` contiguous parts each read by a thread of its own. Negative if
// the threads cannot be started.
double time_stream(std::span<const FloatRange> ranges, std::size_t threads) noexcept;

}  // namespace tessaly
