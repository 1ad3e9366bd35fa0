// Ranked search over contiguous chunks, one worker thread per chunk.
#include "engine/parallel_search.hpp"

#include <algorithm>

#include "engine/processors.hpp"
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

EngineResult<void> rank_in_chunks(const ChunkPlan& plan, std::size_t entries, std::size_t queries,
                                  std::size_t top_k,
                                  FunctionRef<EngineResult<RankedRows>(std::size_t, std::size_t)> rank,
                                  FunctionRef<void(std::size_t, std::span<const ScoredEntry>)> deliver,
                                  Interruption* interruption) noexcept {
  Array<RankedRows> lists;
  if (!lists.try_resize(plan.workers)) return EngineError::out_of_memory();
  // A chunk may start or end inside a block: its worker scores the whole
  // block and offers only its own entries.
  auto work = [&](std::size_t w) -> EngineResult<void> {
    TRY_ASSIGN(lists[w], rank(plan.first(w), plan.last(w, entries)));
    return {};
  };
  auto collect = [](std::size_t) {};
  TRY(run_workers(plan.workers, work, collect, interruption));

  std::size_t offered = 0;
  for (const RankedRows& list : lists) offered += list.width;
  SelectionKeys keys;
  TRY_ASSIGN(TopSelection merged, TopSelection::make(top_k, offered, keys));
  Array<ScoredEntry> best;
  if (!best.try_reserve(std::min(top_k, offered))) return EngineError::out_of_memory();
  for (std::size_t q = 0; q < queries; ++q) {
    merged.reset();
    for (const RankedRows& list : lists) merged.offer(list.row(q));
    const std::size_t count = merged.size();
    merged.rank_into(best.data());
    deliver(q, {best.data(), count});
  }
  return {};
}

EngineResult<Array<ResultPair>> Vectorstore::parallel_search(
    std::span<const float> query, std::size_t top_k, std::optional<std::size_t> n_threads) const noexcept {
  if (query.size() != vector_size()) return query_length_error(query.size());
  if (len() == 0) return Array<ResultPair>();
  auto rank = [&](std::size_t first, std::size_t last) -> EngineResult<RankedRows> {
    TRY_ASSIGN(Array<ScoredEntry> list, select_top(*this, query, top_k, first, last, best_kernel_path()));
    const std::size_t width = list.size();
    return RankedRows{std::move(list), width};
  };
  EngineResult<Array<ResultPair>> found = Array<ResultPair>();
  auto deliver = [&](std::size_t, std::span<const ScoredEntry> list) { found = to_result_pairs(list, ids()); };
  TRY(rank_in_chunks(plan_workers(len(), n_threads), len(), 1, top_k, rank, deliver));
  return found;
}

}  // namespace tessaly
