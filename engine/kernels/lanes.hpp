// The lanes-across-entries scoring loop, shared by the SIMD paths.
//
// Included by each instruction-set file after its target pragma. Everything
// here has internal linkage, so each file compiles its own copy for its own
// instruction set and the linker can never hand one path's code to another.
//
// A block of W entries (W = lanes per register) is scored together: W
// consecutive elements of each entry are loaded, transposed so that register
// t holds element i+t of every entry, and folded into the per-lane dot
// product and squared norm in index order. Each lane thus sees exactly the
// scalar sequence: round(x*q) added to d, round(x*x) added to s, from -0.0.
// Cost per block of W x W elements: W loads, the transpose's shuffles, and
// 2W multiplies + 2W adds.
#pragma once

#include <cstddef>

#include "engine/score_batch.hpp"

namespace tessaly::kernels {
namespace {

inline float finish_one(float dot, float squares, const QueryTerms& query) {
  if (query.squared_norm == 0.0f || squares == 0.0f) return 0.0f;
  return dot / (query.norm * __builtin_sqrtf(squares));
}

// One entry at a time: the same one-pass sequence without lanes.
inline void score_one_by_one(const QueryTerms& query, const StoredVector* entries,
                             std::size_t count, float* out) {
  const float* q = query.data;
  for (std::size_t j = 0; j < count; ++j) {
    const float* x = entries[j].vector.data();
    float dot = -0.0f;
    float squares = -0.0f;
    for (std::size_t i = 0; i < query.dimension; ++i) {
      dot += x[i] * q[i];
      squares += x[i] * x[i];
    }
    out[j] = finish_one(dot, squares, query);
  }
}

template <class V>
inline void score_lanes(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                        float* out) {
  constexpr std::size_t W = V::width;
  const std::size_t dimension = query.dimension;
  const float* q = query.data;
  std::size_t j = 0;
  for (; j + W <= count; j += W) {
    const float* rows[W];
    const float* ahead[W];  // the next block's rows, fetched while this one is scored
    for (std::size_t k = 0; k < W; ++k) {
      rows[k] = entries[j + k].vector.data();
      ahead[k] = j + W + k < count ? entries[j + W + k].vector.data() : rows[k];
    }
    typename V::reg dot = V::set1(-0.0f);
    typename V::reg squares = V::set1(-0.0f);
    std::size_t i = 0;
    for (; i + W <= dimension; i += W) {
      typename V::reg r[W];
      for (std::size_t k = 0; k < W; ++k) {
        r[k] = V::load(rows[k] + i);
        __builtin_prefetch(ahead[k] + i);
      }
      V::transpose(r);
      for (std::size_t t = 0; t < W; ++t) {
        dot = V::add(dot, V::mul(r[t], V::set1(q[i + t])));
        squares = V::add(squares, V::mul(r[t], r[t]));
      }
    }
    for (; i < dimension; ++i) {
      const typename V::reg column = V::column(rows, i);
      dot = V::add(dot, V::mul(column, V::set1(q[i])));
      squares = V::add(squares, V::mul(column, column));
    }
    V::store(out + j, V::finish(dot, squares, query));
  }
  score_one_by_one(query, entries + j, count - j, out + j);
}

}  // namespace
}  // namespace tessaly::kernels
