// The first pass's block loops, shared by every instruction set.
//
// Included by each instruction-set file after its target pragma. V cuts a
// 64-byte line into V::parts registers of 16 / V::parts lanes and says how
// one part meets one query:
//   Line line(const std::int8_t* part)        loads a part and makes it ready
//                                             for any query (once per line)
//   Query query(const std::int8_t* four)      a query's four elements of a line
//   Sums zero()                               a part's sums for one query
//   Sums add(Sums, const Line&, const Query&)  the part's products added
//   void store(std::int32_t* out, const Sums&, std::int32_t bias)
// and gives its next_reaching (bound_steps.hpp).
// Everything here has internal linkage, so each file compiles its own copy
// for its own instruction set and the linker never hands one path's code to
// another. Integer sums are exact (or wrap and are unwrapped by the bias,
// which is exact modulo 2^32), so every order of addition gives the same
// numbers and the tiles below may take any shape.
//
// One query (dot) reads each block once and does one to three operations
// per register, so memory is its limit: it takes V::blocks_at_once blocks
// from as many sections of the run, each read in order, so that as many
// streams run ahead of it (as the float kernels do, bench/NOTES.md).
//
// A group (dot_group) reads a tile of blocks that stays in L2 once per
// group of queries, so arithmetic is its limit: a register tile of Q
// queries by B blocks makes B lines ready once and applies each to Q
// queries, for Q * B * parts sums. Groups smaller than the path's
// group_size take more blocks where registers are free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/search/int8_kernels.hpp"
#include "engine/search/kernels/bound_steps.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

namespace tessaly::kernels {
namespace {

constexpr std::size_t kInt8LineBytes = kBlockLanes * kInt8LaneElements;

// Four int8 elements as one 32-bit word, as broadcasts take them.
inline std::int32_t four_elements(const std::int8_t* p) {
  std::int32_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

template <class V>
constexpr std::size_t kInt8PartBytes = kInt8LineBytes / V::parts;

// B blocks against one query, `apart` blocks from one another.
template <class V, std::size_t B>
inline void dot_blocks(const Int8Query& query, const std::int8_t* blocks, std::size_t apart, std::int32_t* out) {
  constexpr std::size_t P = V::parts;
  const std::size_t block_bytes = query.lines * kInt8LineBytes;
  typename V::Sums sums[B][P];
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t p = 0; p < P; ++p) sums[b][p] = V::zero();
  }
  const std::int8_t* line = blocks;
  for (std::size_t j = 0; j < query.lines; ++j, line += kInt8LineBytes) {
    const typename V::Query q = V::query(query.elements + j * kInt8LaneElements);
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t p = 0; p < P; ++p) {
        sums[b][p] = V::add(sums[b][p], V::line(line + b * apart * block_bytes + p * kInt8PartBytes<V>), q);
      }
    }
  }
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t p = 0; p < P; ++p) {
      V::store(out + b * apart * kBlockLanes + p * (kBlockLanes / P), sums[b][p], query.bias);
    }
  }
}

template <class V>
void dot(const Int8Query& query, const std::int8_t* blocks, std::size_t count, std::int32_t* out) noexcept {
  // The B blocks in flight come from B sections of the run, each read in
  // order: B streams that the prefetchers follow.
  constexpr std::size_t B = V::blocks_at_once;
  const std::size_t block_bytes = query.lines * kInt8LineBytes;
  const std::size_t section = count / B;
  for (std::size_t b = 0; b < section; ++b) {
    dot_blocks<V, B>(query, blocks + b * block_bytes, section, out + b * kBlockLanes);
  }
  for (std::size_t b = section * B; b < count; ++b) {
    dot_blocks<V, 1>(query, blocks + b * block_bytes, 0, out + b * kBlockLanes);
  }
}

// Q queries against B neighbouring blocks, one register tile.
template <class V, std::size_t Q, std::size_t B>
inline void dot_tile(const Int8QueryGroup& group, const std::int8_t* blocks, std::int32_t* out,
                     std::size_t stride) noexcept {
  constexpr std::size_t P = V::parts;
  const std::size_t block_bytes = group.lines * kInt8LineBytes;
  typename V::Sums sums[Q][B][P];
  for (std::size_t k = 0; k < Q; ++k) {
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t p = 0; p < P; ++p) sums[k][b][p] = V::zero();
    }
  }
  const std::int8_t* q = group.interleaved;
  const std::int8_t* line = blocks;
  for (std::size_t j = 0; j < group.lines; ++j, q += Q * kInt8LaneElements, line += kInt8LineBytes) {
    typename V::Line x[B][P];
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t p = 0; p < P; ++p) x[b][p] = V::line(line + b * block_bytes + p * kInt8PartBytes<V>);
    }
    for (std::size_t k = 0; k < Q; ++k) {
      const typename V::Query element = V::query(q + k * kInt8LaneElements);
      for (std::size_t b = 0; b < B; ++b) {
        for (std::size_t p = 0; p < P; ++p) sums[k][b][p] = V::add(sums[k][b][p], x[b][p], element);
      }
    }
  }
  for (std::size_t k = 0; k < Q; ++k) {
    for (std::size_t b = 0; b < B; ++b) {
      for (std::size_t p = 0; p < P; ++p) {
        V::store(out + k * stride + b * kBlockLanes + p * (kBlockLanes / P), sums[k][b][p], group.bias[k]);
      }
    }
  }
}

using Int8TileFunction = void (*)(const Int8QueryGroup&, const std::int8_t*, std::int32_t*, std::size_t) noexcept;

// Tiles of Q queries by 1 to B - 1 blocks, for the blocks left at the end.
template <class V, std::size_t Q, std::size_t... Blocks>
constexpr Int8TileFunction int8_partial_tiles[] = {dot_tile<V, Q, Blocks + 1>...};

template <class V, std::size_t Q, std::size_t... Blocks>
constexpr const Int8TileFunction* int8_partial_tiles_of(std::index_sequence<Blocks...>) noexcept {
  return int8_partial_tiles<V, Q, Blocks...>;
}

// Q queries against each block, V::tile_blocks(Q) blocks at a time.
template <class V, std::size_t Q>
void dot_group_of(const Int8QueryGroup& group, const std::int8_t* blocks, std::size_t count, std::int32_t* out,
                  std::size_t stride) noexcept {
  constexpr std::size_t B = V::tile_blocks(Q);
  const std::size_t block_bytes = group.lines * kInt8LineBytes;
  std::size_t b = 0;
  for (; b + B <= count; b += B) dot_tile<V, Q, B>(group, blocks + b * block_bytes, out + b * kBlockLanes, stride);
  if constexpr (B > 1) {
    if (b < count) {
      int8_partial_tiles_of<V, Q>(std::make_index_sequence<B - 1>())[count - b - 1](
          group, blocks + b * block_bytes, out + b * kBlockLanes, stride);
    }
  }
}

template <class V, std::size_t... Sizes>
void dot_group_sized(const Int8QueryGroup& group, const std::int8_t* blocks, std::size_t count, std::int32_t* out,
                     std::size_t stride, std::index_sequence<Sizes...>) noexcept {
  using Function = void (*)(const Int8QueryGroup&, const std::int8_t*, std::size_t, std::int32_t*,
                            std::size_t) noexcept;
  static constexpr Function sized[] = {dot_group_of<V, Sizes + 1>...};
  if (group.count == 0) return;
  sized[group.count - 1](group, blocks, count, out, stride);
}

template <class V>
void dot_group(const Int8QueryGroup& group, const std::int8_t* blocks, std::size_t count, std::int32_t* out,
               std::size_t stride) noexcept {
  dot_group_sized<V>(group, blocks, count, out, stride, std::make_index_sequence<V::group_size>());
}

template <class V>
constexpr Int8Kernels int8_kernels_of() noexcept {
  static_assert(V::group_size >= 1 && V::group_size <= kMaxInt8Group && kBlockLanes % V::parts == 0);
  return {dot<V>, dot_group<V>, V::group_size, V::next_reaching};
}

}  // namespace
}  // namespace tessaly::kernels
