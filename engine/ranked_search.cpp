// Ranked search on the calling thread.
#include "engine/ranking.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

EngineResult<Array<ResultPair>> Vectorstore::search(std::span<const float> query,
                                                    std::size_t top_k, KernelPath path) const {
  if (query.size() != vector_size_) return query_length_error(query.size());
  TRY_ASSIGN(Array<ScoredEntry> best, select_top(vectors_, query, top_k, path));
  return to_result_pairs(best);
}

}  // namespace tessaly
