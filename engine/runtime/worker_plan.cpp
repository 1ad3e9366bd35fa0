#include "engine/runtime/worker_plan.hpp"

#include "engine/runtime/processors.hpp"

namespace tessaly {

ChunkPlan plan_chunks(std::size_t entries, std::size_t requested) noexcept {
  const std::size_t chunk_size = entries / requested + (entries % requested != 0 ? 1 : 0);
  const std::size_t workers = entries / chunk_size + (entries % chunk_size != 0 ? 1 : 0);
  return {chunk_size, workers};
}

ChunkPlan plan_workers(std::size_t entries, std::optional<std::size_t> n_threads) noexcept {
  std::size_t requested = n_threads ? *n_threads : available_parallelism().value_or(4);
  if (requested == 0) requested = 1;
  return plan_chunks(entries, requested);
}

}  // namespace tessaly
