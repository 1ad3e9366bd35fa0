// Ranked search on the calling thread.
#include "engine/ranking.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

EngineResult<std::vector<ResultPair>> Vectorstore::search(std::span<const float> query,
                                                          std::size_t top_k) const {
  if (query.size() != vector_size_) return query_length_error(query.size());
  return to_result_pairs(select_top(vectors_, query, top_k));
}

}  // namespace tessaly
