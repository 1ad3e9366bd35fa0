// The first pass's integer dot products: a quantized query against the
// int8 blocks of a store's compact copy (engine/store/int8_copy.hpp), on
// each instruction set. Integer sums are exact, so every path gives the
// same numbers, and the first pass finds the same candidates on all of them.
//
// A query's elements and an entry's are at most 127 in magnitude, so a
// dot product of d elements stays within 32 bits (127 * 127 * d < 2^31 for
// d <= 2^16, the most the bound covers). Instructions that add pairs of
// products with saturation (pmaddubsw) take the entry's magnitudes, |x~|,
// and the query's elements with x~'s signs, so that a pair stays within 16
// bits (2 * 127 * 127 = 32258); those that read the entry as unsigned
// (vpdpbusd) take x~ + 128 and subtract the query's bias, 128 times its
// element sum.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/runtime/kernel_path.hpp"
#include "engine/search/entry_mask.hpp"

namespace tessaly {

// One quantized query: its elements in groups of four, zero past the
// dimension (lines * 4 bytes).
struct Int8Query {
  const std::int8_t* elements;
  std::size_t lines;
  std::int32_t bias;  // 128 * the sum of the elements
};

// Up to kMaxInt8Group queries scored together: each line of a block is
// loaded once and applied to every query of the group.
inline constexpr std::size_t kMaxInt8Group = 8;
struct Int8QueryGroup {
  std::size_t count;  // at most the path's group_size
  std::size_t lines;
  // Group j (elements 4j to 4j+3) of query k at interleaved[(j * count + k) * 4].
  const std::int8_t* interleaved;
  std::int32_t bias[kMaxInt8Group];
};

// What a bound needs of a query (first_pass_bound.hpp): the upper bound of
// a lane is (sigma alpha) D + (beta slope + offset), in that order.
struct BoundFactors {
  float sigma, slope, offset;
};
// The lanes the first stage looks at together.
inline constexpr std::size_t kBoundLanes = 16;

// One instruction set's kernels. `blocks` points at `count` consecutive
// int8 blocks (Int8Copy::for_each_run gives them); the dot products of
// block b's lanes go to out[16b .. 16b + 15], exactly q~ . x~.
struct Int8Kernels {
  void (*dot)(const Int8Query& query, const std::int8_t* blocks, std::size_t count, std::int32_t* out) noexcept;
  // A group of queries: the products of query k go to out[k * stride ...].
  void (*dot_group)(const Int8QueryGroup& group, const std::int8_t* blocks, std::size_t count, std::int32_t* out,
                    std::size_t stride) noexcept;
  std::size_t group_size;  // queries per group, at most kMaxInt8Group
  // The first lane, from lane `from` on in steps of kBoundLanes, of a step
  // in which some lane's upper bound reaches `threshold` (is not below it,
  // as a NaN bound is not), from the lanes' dot products and their entries'
  // terms; sets bit j of `lanes` for each lane from + j that reaches it.
  // Past the last whole step, it returns the first lane of the partial
  // step, if any, with a bit for each of its lanes (looked at by no one),
  // or `count` and no bits. With `selected`, lane i being entry `entry` +
  // i, only the lanes whose entries it selects count (a mask that leaves
  // out most entries would otherwise stop the search at every step).
  std::size_t (*next_reaching)(const BoundFactors& factors, const std::int32_t* dots, const float* alphas,
                               const float* betas, std::size_t from, std::size_t count, float threshold,
                               const EntryMask* selected, std::size_t entry, std::uint32_t& lanes) noexcept;
};

// The kernels of a path this processor can run.
const Int8Kernels& int8_kernels(KernelPath path) noexcept;

namespace kernels {
extern const Int8Kernels scalar_int8;
#if defined(__x86_64__) || defined(__i386__)
extern const Int8Kernels sse2_int8;
extern const Int8Kernels avx2_int8;
extern const Int8Kernels avx2_vnni_int8;
extern const Int8Kernels avx512_int8;  // needs AVX512BW besides AVX-512F
extern const Int8Kernels avx512_vnni_int8;
#endif
#if defined(__aarch64__)
extern const Int8Kernels neon_int8;
extern const Int8Kernels neon_dot_int8;
#endif
}  // namespace kernels

}  // namespace tessaly
