// Ranked search on the calling thread.
#include "engine/ranking.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

EngineResult<Array<ResultPair>> Vectorstore::search(std::span<const float> query, std::size_t top_k,
                                                    KernelPath path) const noexcept {
  if (query.size() != vector_size()) return query_length_error(query.size());
  TRY_ASSIGN(Array<ScoredEntry> best, select_top(*this, query, top_k, 0, len(), path));
  return to_result_pairs(best, ids());
}

}  // namespace tessaly
