// The worker plan of a parallel call: how it cuts a range of entries among
// its workers.
#pragma once

#include <cstddef>
#include <optional>

namespace tessaly {

// Contiguous chunks of `chunk_size` entries, the last one taking the rest.
struct ChunkPlan {
  std::size_t chunk_size;  // ceil(entries / workers requested), at least 1
  std::size_t workers;     // ceil(entries / chunk_size): never above either input

  // The first entry of chunk `worker` and the one after its last.
  std::size_t first(std::size_t worker) const noexcept { return worker * chunk_size; }
  std::size_t last(std::size_t worker, std::size_t entries) const noexcept {
    return first(worker) + (entries - first(worker) < chunk_size ? entries - first(worker) : chunk_size);
  }
};

// For entries >= 1 and requested >= 1.
ChunkPlan plan_chunks(std::size_t entries, std::size_t requested) noexcept;

// The plan of a call: `n_threads` workers requested, absent meaning the
// processors available (4 if they cannot be had), 0 meaning 1.
ChunkPlan plan_workers(std::size_t entries, std::optional<std::size_t> n_threads) noexcept;

}  // namespace tessaly
