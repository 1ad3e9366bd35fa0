// How parallel_search cuts the store among its workers.
#pragma once

#include <cstddef>

namespace tessaly {

// Contiguous chunks of `chunk_size` entries, the last one taking the rest.
struct ChunkPlan {
  std::size_t chunk_size;  // ceil(entries / workers requested), at least 1
  std::size_t workers;     // ceil(entries / chunk_size): never above either input
};

// For entries >= 1 and requested >= 1.
ChunkPlan plan_chunks(std::size_t entries, std::size_t requested) noexcept;

}  // namespace tessaly
