// The reference path: one entry at a time, no SIMD.
#include "engine/kernels/lanes.hpp"

namespace tessaly::kernels {

void score_scalar(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                  float* out, std::size_t) noexcept {
  score_one_by_one(query, entries, count, out);
}

}  // namespace tessaly::kernels
