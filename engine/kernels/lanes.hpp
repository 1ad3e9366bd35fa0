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
//
// Memory: the W rows of a block are read interleaved, which the hardware
// prefetchers follow poorly, so the rows of a block further ahead are
// fetched by hand: whole rows, one prefetch per cache line, spread evenly
// over the steps of the current block, about kAheadBytes ahead of the loads.
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

// The cache lines of a block of rows, fetched a few at a time.
class BlockPrefetch {
 public:
  BlockPrefetch(std::size_t row_bytes) noexcept : row_bytes_(row_bytes) {}

  // The next rows to fetch (none when `count` is 0).
  void start(const StoredVector* rows, std::size_t count) noexcept {
    rows_ = rows;
    left_ = count;
    begin_row();
  }

  void issue(std::size_t lines) noexcept {
    for (; lines > 0 && left_ > 0; --lines) {
      __builtin_prefetch(line_);
      line_ += kLineBytes;
      if (line_ > last_) {
        ++rows_;
        --left_;
        begin_row();
      }
    }
  }

 private:
  void begin_row() noexcept {
    if (left_ == 0 || row_bytes_ == 0) {
      left_ = 0;
      return;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(rows_->vector.data());
    line_ = reinterpret_cast<const char*>(start & ~(kLineBytes - 1));
    last_ = reinterpret_cast<const char*>((start + row_bytes_ - 1) & ~(kLineBytes - 1));
  }

  std::size_t row_bytes_;
  const StoredVector* rows_ = nullptr;
  std::size_t left_ = 0;
  const char* line_ = nullptr;
  const char* last_ = nullptr;
};

template <class V>
inline void score_lanes(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                        float* out, std::size_t readable) {
  constexpr std::size_t W = V::width;
  const std::size_t dimension = query.dimension;
  const float* q = query.data;
  const std::size_t row_bytes = dimension * sizeof(float);
  // How many blocks ahead to fetch, and how many lines per step to spread
  // a block's lines (each row may straddle one more line) over its steps.
  const std::size_t block_bytes = W * row_bytes;
  const std::size_t ahead =
      block_bytes == 0 ? 1 : std::min<std::size_t>(8, (kAheadBytes + block_bytes - 1) / block_bytes);
  const std::size_t steps = dimension / W;
  const std::size_t block_lines = W * (row_bytes / kLineBytes + 2);
  const std::size_t per_step = steps == 0 ? block_lines : (block_lines + steps - 1) / steps;
  BlockPrefetch prefetch(row_bytes);
  // The first blocks' rows, before the loads reach them (a previous call
  // fetched them already if it scored the entries just before these).
  for (std::size_t b = 1; b < ahead && b * W < readable; ++b) {
    prefetch.start(entries + b * W, std::min(W, readable - b * W));
    prefetch.issue(block_lines);
  }
  std::size_t j = 0;
  for (; j + W <= count; j += W) {
    const float* rows[W];
    for (std::size_t k = 0; k < W; ++k) rows[k] = entries[j + k].vector.data();
    const std::size_t fetch = j + ahead * W;
    prefetch.start(entries + fetch, fetch < readable ? std::min(W, readable - fetch) : 0);
    typename V::reg dot = V::set1(-0.0f);
    typename V::reg squares = V::set1(-0.0f);
    std::size_t i = 0;
    for (; i + W <= dimension; i += W) {
      prefetch.issue(per_step);
      typename V::reg r[W];
      for (std::size_t k = 0; k < W; ++k) r[k] = V::load(rows[k] + i);
      V::transpose(r);
      for (std::size_t t = 0; t < W; ++t) {
        dot = V::add(dot, V::mul(r[t], V::set1(q[i + t])));
        squares = V::add(squares, V::mul(r[t], r[t]));
      }
    }
    prefetch.issue(block_lines);  // whatever the steps left
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
