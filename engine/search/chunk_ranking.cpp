#include "engine/search/chunk_ranking.hpp"

#include <algorithm>

#include "engine/runtime/worker_threads.hpp"

namespace tessaly {

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
  TopSelection::Scratch keys;
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

}  // namespace tessaly
