// Ranked search on the calling thread.
#include "engine/ranking.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

EngineResult<std::vector<ResultPair>> Vectorstore::search(std::span<const float> query,
                                                          std::size_t top_k) const {
  if (query.size() != vector_size_) return query_length_error(query.size());
  std::vector<ScoredEntry> scored = score_entries(vectors_, query);
  rank_and_cut(scored, top_k);
  return to_result_pairs(scored);
}

}  // namespace tessaly
