#include "engine/search/chunk_ranking.hpp"

#include <algorithm>

#include "engine/runtime/worker_threads.hpp"
#include "engine/search/ranked_merge.hpp"

namespace tessaly {

EngineResult<void> rank_in_chunks(const ChunkPlan& plan, std::size_t entries, std::size_t queries,
                                  std::size_t top_k,
                                  FunctionRef<EngineResult<RankedRows>(std::size_t, std::size_t)> rank,
                                  FunctionRef<void(std::size_t, std::span<const ScoredEntry>)> deliver,
                                  Interruption* interruption) noexcept {
  Array<std::size_t> bounds;
  if (!bounds.try_resize(plan.workers + 1)) return EngineError::out_of_memory();
  for (std::size_t w = 0; w < plan.workers; ++w) bounds[w] = plan.first(w);
  bounds[plan.workers] = plan.last(plan.workers - 1, entries);
  return rank_in_chunks(bounds, queries, top_k, rank, deliver, interruption);
}

EngineResult<void> rank_in_chunks(std::span<const std::size_t> bounds, std::size_t queries, std::size_t top_k,
                                  FunctionRef<EngineResult<RankedRows>(std::size_t, std::size_t)> rank,
                                  FunctionRef<void(std::size_t, std::span<const ScoredEntry>)> deliver,
                                  Interruption* interruption) noexcept {
  const std::size_t workers = bounds.size() - 1;
  Array<RankedRows> lists;
  if (!lists.try_resize(workers)) return EngineError::out_of_memory();
  // A chunk may start or end inside a block: its worker scores the whole
  // block and offers only its own entries.
  auto work = [&](std::size_t w) -> EngineResult<void> {
    TRY_ASSIGN(lists[w], rank(bounds[w], bounds[w + 1]));
    return {};
  };
  auto collect = [](std::size_t) {};
  TRY(run_workers(workers, work, collect, interruption));

  std::size_t offered = 0;
  for (const RankedRows& list : lists) offered += list.width;
  const std::size_t count = std::min(top_k, offered);
  Array<ScoredEntry> best;
  Array<std::span<const ScoredEntry>> rows;
  if (!best.try_reserve(count) || !rows.try_resize(lists.size())) return EngineError::out_of_memory();
  Interruption never;
  Interruption& asked = interruption != nullptr ? *interruption : never;
  for (std::size_t q = 0; q < queries; ++q) {
    for (std::size_t w = 0; w < lists.size(); ++w) rows[w] = lists[w].row(q);
    TRY(merge_ranked(rows, count, best.data(), asked));
    deliver(q, {best.data(), count});
  }
  return {};
}

}  // namespace tessaly
