// Scoring many stored entries against one query, with the bits of
// cosine_score.
//
// The query's squared norm is computed once per call, and each entry is read
// once: its dot product with the query and its own squared norm accumulate
// side by side, each in its own accumulator and index order. That is the
// same sequence of roundings as three separate passes. SIMD paths put one
// entry in each lane (lanes across entries, never within one), so every lane
// performs exactly the scalar sequence; multiplies and adds are separate
// instructions (no fused multiply-add).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "engine/kernel_path.hpp"
#include "engine/vectorstore.hpp"

namespace tessaly {

// What every entry's score needs from the query, computed once.
struct QueryTerms {
  const float* data;
  std::size_t dimension;
  float squared_norm;  // -0.0f-started sum of squares, index order
  float norm;          // sqrt(squared_norm)

  explicit QueryTerms(std::span<const float> query) noexcept;
};


// out[j] = cosine_score(query, entries[j].vector) for j < count, on the best
// available path. Entries must have the query's length. `readable` (at
// least count) entries exist from `entries` on: those after the first
// `count` may be prefetched for the next call.
void score_batch(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                 float* out, std::size_t readable = 0) noexcept;

// The same on a chosen path (which must be available).
void score_batch_on(KernelPath path, const QueryTerms& query, const StoredVector* entries,
                    std::size_t count, float* out, std::size_t readable = 0) noexcept;

namespace kernels {
using ScoreFunction = void (*)(const QueryTerms&, const StoredVector*, std::size_t, float*,
                               std::size_t) noexcept;
void score_scalar(const QueryTerms&, const StoredVector*, std::size_t, float*, std::size_t) noexcept;
void score_sse2(const QueryTerms&, const StoredVector*, std::size_t, float*, std::size_t) noexcept;
void score_avx2(const QueryTerms&, const StoredVector*, std::size_t, float*, std::size_t) noexcept;
void score_avx512(const QueryTerms&, const StoredVector*, std::size_t, float*, std::size_t) noexcept;
}  // namespace kernels

}  // namespace tessaly
