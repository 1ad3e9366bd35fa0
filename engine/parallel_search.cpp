// Ranked search over contiguous chunks, one worker thread per chunk.
//
// Each worker selects its own chunk's top_k; the calling thread merges the
// lists in chunk order and selects once more. Selection is by a total order
// that ends in insertion order, and an entry cut from its chunk has top_k
// entries of that chunk ahead of it, so the result is search()'s.
#include "engine/parallel_search.hpp"

#include <algorithm>

#include "engine/processors.hpp"
#include "engine/ranking.hpp"
#include "engine/vectorstore.hpp"
#include "engine/worker_threads.hpp"

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

EngineResult<Array<ResultPair>> Vectorstore::parallel_search(
    std::span<const float> query, std::size_t top_k, std::optional<std::size_t> n_threads) const noexcept {
  if (query.size() != vector_size()) return query_length_error(query.size());
  if (len() == 0) return Array<ResultPair>();

  const ChunkPlan plan = plan_workers(len(), n_threads);

  Array<Array<ScoredEntry>> lists;
  if (!lists.try_resize(plan.workers)) return EngineError::out_of_memory();
  TRY_ASSIGN(TopSelection merged,
             TopSelection::make(top_k, std::min(top_k, plan.chunk_size) * plan.workers));
  // A chunk may start or end inside a block: its worker scores the whole
  // block and offers only its own entries.
  auto work = [&](std::size_t w) -> EngineResult<void> {
    TRY_ASSIGN(lists[w], select_top(*this, query, top_k, plan.first(w), plan.last(w, len()), best_kernel_path()));
    return {};
  };
  auto collect = [&](std::size_t w) {
    merged.offer(lists[w]);
    Array<ScoredEntry>().swap(lists[w]);
  };
  TRY(run_workers(plan.workers, work, collect));
  TRY_ASSIGN(Array<ScoredEntry> best, std::move(merged).ranked());
  return to_result_pairs(best, ids());
}

}  // namespace tessaly
