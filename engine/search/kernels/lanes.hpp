// The block loops, shared by every instruction set.
//
// Included by each instruction-set file after its target pragma, with V its
// register type: V::width lanes, so that a 64-byte line takes R = 16 / width
// registers. Everything here has internal linkage, so each file compiles its
// own copy for its own instruction set and the linker can never hand one
// path's code to another.
//
// Lines are read in address order, block after block: streams that the
// hardware prefetchers follow on every processor, so one query prefetches
// nothing by hand. Per line and query: R multiplies and R adds into the dot
// products, and for a single query R more of each into the squared norms.
//
// One query (score) reads the store from memory once, so memory is its
// limit: it keeps V::blocks_at_once blocks in flight, taken from as many
// sections of the run, so that as many streams run ahead of it (one core
// keeps more misses in flight with more streams).
//
// A batch (score_group) reads a tile of blocks that stays in L2 once per
// group of queries, so arithmetic is its limit: a register tile of Q
// queries by B blocks loads B lines (R registers each) and broadcasts Q
// query elements per element, for Q * B * R multiplies and adds into as
// many accumulators. Each path takes the shape that fills its registers
// without spilling. A tile's first group also sums its blocks' squares
// (kRoots) and leaves their roots to the groups after it, and every group
// fetches a share of the next tile's lines into the cache among its loads,
// so that the tile comes from memory under the arithmetic. Groups smaller
// than group_size (the end of a batch) are bound by L2's bandwidth, so they
// only take more blocks where registers are free; the last blocks of a run
// take a tile of fewer blocks. Every lane still runs the scalar sequence,
// whatever the tile.
//
// bench/NOTES.md keeps the measurements behind each path's constants.
#pragma once

#include <cstddef>
#include <utility>

#include "engine/search/block_kernels.hpp"

namespace tessaly::kernels {
namespace {

template <class V>
constexpr std::size_t kRegistersPerLine = kBlockLanes / V::width;

// Keeps a loaded line in its register: otherwise the compiler folds the load
// into the first multiply and loads the line again for the next one, and the
// loads, not the arithmetic, become the limit in cache.
template <class Reg>
inline void in_register(Reg& value) {
#if defined(__x86_64__) || defined(__i386__)
  asm("" : "+v"(value));
#elif defined(__aarch64__)
  asm("" : "+w"(value));
#endif
}

// The scores of one register's lanes; +0.0 throughout against a query whose
// squared norm is zero.
template <class V>
inline typename V::reg scores_of(typename V::reg dot, typename V::reg root, float squared_norm, float norm) {
  return squared_norm != 0.0f ? V::finish(dot, root, norm) : V::set1(0.0f);
}

// B blocks against one query, `apart` blocks from one another.
template <class V, std::size_t B>
inline void score_blocks_of(const QueryTerms& query, const float* blocks, std::size_t apart, float* out) {
  constexpr std::size_t R = kRegistersPerLine<V>;
  const std::size_t dimension = query.dimension;
  const std::size_t stride = dimension * kBlockLanes;
  typename V::reg dot[B][R];
  typename V::reg squares[B][R];
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t r = 0; r < R; ++r) dot[b][r] = squares[b][r] = V::set1(-0.0f);
  }
  for (std::size_t i = 0; i < dimension; ++i) {
    const typename V::reg q = V::set1(query.data[i]);
    for (std::size_t b = 0; b < B; ++b) {
      const float* line = blocks + b * apart * stride + i * kBlockLanes;
      for (std::size_t r = 0; r < R; ++r) {
        typename V::reg x = V::load(line + r * V::width);
        in_register(x);
        dot[b][r] = V::add(dot[b][r], V::mul(x, q));
        squares[b][r] = V::add(squares[b][r], V::mul(x, x));
      }
    }
  }
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t r = 0; r < R; ++r) {
      V::store(out + (b * apart) * kBlockLanes + r * V::width,
               scores_of<V>(dot[b][r], V::sqrt(squares[b][r]), query.squared_norm, query.norm));
    }
  }
}

template <class V>
void score(const QueryTerms& query, const float* blocks, std::size_t count, float* out) noexcept {
  // The B blocks in flight come from B sections of the run, each read in
  // order: B streams that the prefetchers follow, where B neighbouring
  // blocks would be one stream with gaps (see the top of this file).
  constexpr std::size_t B = V::blocks_at_once;
  const std::size_t stride = query.dimension * kBlockLanes;
  const std::size_t section = count / B;
  for (std::size_t b = 0; b < section; ++b) {
    score_blocks_of<V, B>(query, blocks + b * stride, section, out + b * kBlockLanes);
  }
  for (std::size_t b = section * B; b < count; ++b) {
    score_blocks_of<V, 1>(query, blocks + b * stride, 0, out + b * kBlockLanes);
  }
}

// Q queries against B blocks, one register tile: per element, B lines are
// loaded and Q query elements broadcast for Q * B lines' worth of multiplies
// and adds, each into its own accumulator. With kRoots, the tile also sums
// its blocks' squares, as `score` does, and writes their roots for the
// groups after it: 3 more accumulators of 32 on AVX-512, so that the first
// group of a tile hides the roots under its arithmetic.
template <class V, std::size_t Q, std::size_t B, bool kRoots>
inline void score_tile(const QueryGroup& group, const float* blocks, std::size_t dimension, float* roots,
                       float* out, std::size_t stride, Lookahead ahead) noexcept {
  constexpr std::size_t R = kRegistersPerLine<V>;
  const std::size_t block_floats = dimension * kBlockLanes;
  // The lines ahead go out one (or a few) per element, between the loads.
  const std::size_t per_step = dimension == 0 ? 0 : (ahead.count + dimension - 1) / dimension;
  const float* next = ahead.lines;
  const float* const end = ahead.lines + ahead.count * kBlockLanes;
  typename V::reg dot[Q][B][R];
  typename V::reg squares[B][R];
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t r = 0; r < R; ++r) {
      squares[b][r] = V::set1(-0.0f);
      for (std::size_t k = 0; k < Q; ++k) dot[k][b][r] = V::set1(-0.0f);
    }
  }
  const float* q = group.interleaved;
  const float* line = blocks;
  for (std::size_t i = 0; i < dimension; ++i, q += Q, line += kBlockLanes) {
    for (std::size_t p = 0; p < per_step && next < end; ++p, next += kBlockLanes) __builtin_prefetch(next);
    typename V::reg x[B][R];
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t r = 0; r < R; ++r) {
        x[b][r] = V::load(line + b * block_floats + r * V::width);
        in_register(x[b][r]);
        if constexpr (kRoots) squares[b][r] = V::add(squares[b][r], V::mul(x[b][r], x[b][r]));
      }
    }
    for (std::size_t k = 0; k < Q; ++k) {
      const typename V::reg element = V::set1(q[k]);
      for (std::size_t b = 0; b < B; ++b) {
        for (std::size_t r = 0; r < R; ++r) dot[k][b][r] = V::add(dot[k][b][r], V::mul(x[b][r], element));
      }
    }
  }
  typename V::reg root[B][R];
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t r = 0; r < R; ++r) {
      const std::size_t lane = b * kBlockLanes + r * V::width;
      if constexpr (kRoots) {
        root[b][r] = V::sqrt(squares[b][r]);
        V::store(roots + lane, root[b][r]);
      } else {
        root[b][r] = V::loadu(roots + lane);
      }
    }
  }
  for (std::size_t k = 0; k < Q; ++k) {
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t r = 0; r < R; ++r) {
        V::store(out + k * stride + b * kBlockLanes + r * V::width,
                 scores_of<V>(dot[k][b][r], root[b][r], group.squared_norms[k], group.norms[k]));
      }
    }
  }
}

using TileFunction = void (*)(const QueryGroup&, const float*, std::size_t, float*, float*, std::size_t,
                              Lookahead) noexcept;

// Tiles of Q queries by 1 to B - 1 blocks, for the blocks left at the end.
template <class V, std::size_t Q, bool kRoots, std::size_t... Blocks>
constexpr TileFunction partial_tiles[] = {score_tile<V, Q, Blocks + 1, kRoots>...};

template <class V, std::size_t Q, bool kRoots, std::size_t... Blocks>
constexpr const TileFunction* partial_tiles_of(std::index_sequence<Blocks...>) noexcept {
  return partial_tiles<V, Q, kRoots, Blocks...>;
}

// Q queries against each block, V::tile_blocks(Q) blocks at a time.
template <class V, std::size_t Q, bool kRoots>
void score_group_of(const QueryGroup& group, const float* blocks, std::size_t count, std::size_t dimension,
                    float* roots, float* out, std::size_t stride, Lookahead ahead) noexcept {
  constexpr std::size_t B = V::tile_blocks(Q);
  const std::size_t block_floats = dimension * kBlockLanes;
  const std::size_t tiles = (count + B - 1) / B;
  // Register tile t fetches its share of the lines ahead.
  auto share = [&](std::size_t t) {
    const std::size_t from = t * ahead.count / tiles, to = (t + 1) * ahead.count / tiles;
    return Lookahead{ahead.lines + from * kBlockLanes, to - from};
  };
  std::size_t b = 0;
  for (; b + B <= count; b += B) {
    score_tile<V, Q, B, kRoots>(group, blocks + b * block_floats, dimension, roots + b * kBlockLanes,
                                out + b * kBlockLanes, stride, share(b / B));
  }
  if constexpr (B > 1) {
    if (b < count) {
      partial_tiles_of<V, Q, kRoots>(std::make_index_sequence<B - 1>())[count - b - 1](
          group, blocks + b * block_floats, dimension, roots + b * kBlockLanes, out + b * kBlockLanes, stride,
          share(b / B));
    }
  }
}

template <class V, std::size_t... Sizes>
void score_group_sized(const QueryGroup& group, const float* blocks, std::size_t count, std::size_t dimension,
                       float* roots, Roots known, float* out, std::size_t stride, Lookahead ahead,
                       std::index_sequence<Sizes...>) noexcept {
  using Function = void (*)(const QueryGroup&, const float*, std::size_t, std::size_t, float*, float*,
                            std::size_t, Lookahead) noexcept;
  static constexpr Function with_roots[] = {score_group_of<V, Sizes + 1, true>...};
  static constexpr Function given_roots[] = {score_group_of<V, Sizes + 1, false>...};
  (known == Roots::compute ? with_roots : given_roots)[group.count - 1](group, blocks, count, dimension, roots,
                                                                       out, stride, ahead);
}

template <class V>
void score_group(const QueryGroup& group, const float* blocks, std::size_t count, std::size_t dimension,
                 float* roots, Roots known, float* out, std::size_t stride, Lookahead ahead) noexcept {
  score_group_sized<V>(group, blocks, count, dimension, roots, known, out, stride, ahead,
                       std::make_index_sequence<V::group_size>());
}

template <class V>
constexpr BlockKernels kernels_of() noexcept {
  static_assert(V::group_size <= kMaxGroup && kBlockLanes % V::width == 0);
  return {score<V>, score_group<V>, V::group_size, V::tile_blocks(V::group_size)};
}

}  // namespace
}  // namespace tessaly::kernels
