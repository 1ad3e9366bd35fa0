#include "engine/search/search.hpp"

#include "engine/base/message_texts.hpp"
#include "engine/runtime/worker_plan.hpp"
#include "engine/search/chunk_ranking.hpp"
#include "engine/search/range_selection.hpp"

namespace tessaly {

EngineError query_length_error(std::size_t length, std::size_t expected) noexcept {
  return EngineError::invalid(query_length_text(length, expected));
}

EngineResult<Array<ResultPair>> search(const Vectorstore& store, std::span<const float> query, std::size_t top_k,
                                       KernelPath path) noexcept {
  if (query.size() != store.vector_size()) return query_length_error(query.size(), store.vector_size());
  TRY_ASSIGN(Array<ScoredEntry> best, select_top(store, query, top_k, 0, store.len(), path));
  return to_result_pairs(best, store.ids());
}

EngineResult<Array<ResultPair>> parallel_search(const Vectorstore& store, std::span<const float> query,
                                                std::size_t top_k, std::optional<std::size_t> n_threads) noexcept {
  if (query.size() != store.vector_size()) return query_length_error(query.size(), store.vector_size());
  if (store.len() == 0) return Array<ResultPair>();
  auto rank = [&](std::size_t first, std::size_t last) -> EngineResult<RankedRows> {
    TRY_ASSIGN(Array<ScoredEntry> list, select_top(store, query, top_k, first, last, best_kernel_path()));
    const std::size_t width = list.size();
    return RankedRows{std::move(list), width};
  };
  EngineResult<Array<ResultPair>> found = Array<ResultPair>();
  auto deliver = [&](std::size_t, std::span<const ScoredEntry> list) { found = to_result_pairs(list, store.ids()); };
  TRY(rank_in_chunks(plan_workers(store.len(), n_threads), store.len(), 1, top_k, rank, deliver));
  return found;
}

}  // namespace tessaly
