// The lanes-across-entries scoring loop, shared by the SIMD paths.
//
// Included by each instruction-set file after its target pragma. Everything
// here has internal linkage, so each file compiles its own copy for its own
// instruction set and the linker can never hand one path's code to another.
//
// A group of W entries (W = lanes per register) is scored together: a step
// of S consecutive elements of each entry is loaded and rearranged
// (V::columns) so that register t holds element i+t of every entry, and
// folded into the per-lane dot product and squared norm in index order.
// Each lane thus sees exactly the scalar sequence: round(x*q) added to d,
// round(x*x) added to s, from -0.0. Per step: the loads, the shuffles of the
// rearrangement, and 2S multiplies + 2S adds.
//
// Memory: the rows of a block are read interleaved, which the hardware
// prefetchers follow poorly, so the rows of the block about kAheadBytes
// further on are fetched by hand: whole rows, one prefetch per cache line.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/score_batch.hpp"

namespace tessaly::kernels {
namespace {

constexpr std::size_t kLineBytes = 64;
constexpr std::size_t kAheadBytes = std::size_t{16} << 10;

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

// The rows of the block about kAheadBytes further on are fetched by hand
// while this block is scored: each row's line at the step's offset, once
// per 64 bytes of progress, and its last line after the steps.
template <class V>
inline void score_lanes(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                        float* out, std::size_t readable) {
  constexpr std::size_t W = V::width;
  constexpr std::size_t S = V::step;
  constexpr std::size_t kFloatsPerLine = kLineBytes / sizeof(float);
  static_assert(kFloatsPerLine % S == 0 || S % kFloatsPerLine == 0);
  const std::size_t dimension = query.dimension;
  const float* q = query.data;
  const std::size_t block_bytes = W * dimension * sizeof(float);
  const std::size_t ahead =
      block_bytes == 0 ? 1 : std::min<std::size_t>(8, (kAheadBytes + block_bytes - 1) / block_bytes);
  auto rows_from = [&](std::size_t first, const float* (&rows)[W]) {
    for (std::size_t k = 0; k < W; ++k) {
      rows[k] = first + k < readable ? entries[first + k].vector.data() : nullptr;
    }
  };
  auto fetch_line = [&](const float* const (&rows)[W], std::size_t i) {
    for (std::size_t k = 0; k < W; ++k) {
      if (rows[k] != nullptr) __builtin_prefetch(rows[k] + i);
    }
  };
  std::size_t j = 0;
  if (dimension != 0) {
    // The first blocks' rows, before the loads reach them (a previous call
    // fetched them already if it scored the entries just before these).
    for (std::size_t b = 1; b < ahead; ++b) {
      const float* rows[W];
      rows_from(b * W, rows);
      for (std::size_t i = 0; i < dimension; i += kFloatsPerLine) fetch_line(rows, i);
      fetch_line(rows, dimension - 1);
    }
  }
  for (; j + W <= count; j += W) {
    const float* rows[W];
    const float* later[W];
    rows_from(j, rows);
    rows_from(j + ahead * W, later);
    typename V::reg dot = V::set1(-0.0f);
    typename V::reg squares = V::set1(-0.0f);
    std::size_t i = 0;
    for (; i + S <= dimension; i += S) {
      if (i % kFloatsPerLine == 0) fetch_line(later, i);
      typename V::reg columns[S];
      V::columns(rows, i, columns);
      for (std::size_t t = 0; t < S; ++t) {
        dot = V::add(dot, V::mul(columns[t], V::set1(q[i + t])));
        squares = V::add(squares, V::mul(columns[t], columns[t]));
      }
    }
    if (dimension != 0) fetch_line(later, dimension - 1);
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
