// Scoring the blocks of a store against queries, with the bits of
// cosine_score, on each instruction set.
//
// Floating-point contract: a lane holds one entry, never a part of one, so
// every lane performs exactly the scalar sequence of cosine_score. Its dot
// product with the query and its own squared norm accumulate side by side,
// each from -0.0 in index order with every product rounded before its
// addition (multiply, then add: never fused); that is the same sequence of
// roundings as separate passes. The score is dot / (query norm * entry
// norm), +0.0 when either squared norm compares equal to zero, and the one
// canonical NaN wherever it is NaN.
#pragma once

#include <cstddef>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/search/query_rows.hpp"
#include "engine/store/blocks.hpp"

namespace tessaly {

// What every entry's score needs from one query, computed once.
struct QueryTerms {
  const float* data;
  std::size_t dimension;
  float squared_norm;  // -0.0f-started sum of squares, index order
  float norm;          // sqrt(squared_norm)

  explicit QueryTerms(std::span<const float> query) noexcept;
};

// Up to kMaxGroup queries scored together: each line of a block is loaded
// once and applied to every query of the group, held in registers.
inline constexpr std::size_t kMaxGroup = 8;
struct QueryGroup {
  std::size_t count;  // at most the path's group_size
  // Element i of query k at [i * count + k], so that the elements one line
  // needs lie together.
  const float* interleaved;
  float squared_norms[kMaxGroup];
  float norms[kMaxGroup];
};

// The batch's queries `queries` (each of `dimension` elements) in groups
// of `group_size` (the last may be smaller), in that order: queries[g *
// group_size + k] is query k of group g.
struct QueryGroups {
  Array<QueryGroup> groups;
  FloatVector elements;  // what the groups' `interleaved` point into
};
EngineResult<QueryGroups> make_query_groups(const QueryRows& rows, std::span<const std::size_t> queries,
                                            std::size_t dimension, std::size_t group_size) noexcept;

// Lines (64 bytes each, consecutive) to fetch into the cache while a group
// is scored, spread over its arithmetic.
struct Lookahead {
  const float* lines = nullptr;
  std::size_t count = 0;
};

// Whether a group finds its blocks' roots (the square roots of their
// entries' squared norms, 16 per block) known or computes and writes them.
enum class Roots { known, compute };

// One instruction set's kernels. `blocks` points at `count` consecutive
// blocks of `dimension`-element entries (Blocks::for_each_run gives them);
// the scores of block b's lanes go to out[16b .. 16b + 15].
struct BlockKernels {
  // One query: dot products and squared norms in one pass.
  void (*score)(const QueryTerms& query, const float* blocks, std::size_t count,
                float* out) noexcept;
  // A group of queries: the scores of query k go to out[k * stride ...].
  void (*score_group)(const QueryGroup& group, const float* blocks, std::size_t count,
                      std::size_t dimension, float* roots, Roots known, float* out,
                      std::size_t stride, Lookahead ahead) noexcept;
  std::size_t group_size;  // queries per group, at most kMaxGroup
  // Blocks of a full group's register tile: runs of a multiple of this
  // many blocks need no narrower tile at their end.
  std::size_t tile_blocks;
};

// The kernels of a path this processor can run.
const BlockKernels& block_kernels(KernelPath path) noexcept;

namespace kernels {
extern const BlockKernels scalar;
#if defined(__x86_64__) || defined(__i386__)
extern const BlockKernels sse2;
extern const BlockKernels avx2;
extern const BlockKernels avx512;
#endif
#if defined(__aarch64__)
extern const BlockKernels neon;
#endif
}  // namespace kernels

}  // namespace tessaly
