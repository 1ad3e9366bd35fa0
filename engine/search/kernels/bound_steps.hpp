// The first stage's search for lanes whose upper bound reaches the
// threshold (Int8Kernels::next_reaching), W lanes a vector in GCC's vector
// types, compiled by each instruction set's file for its own target. Each
// lane's bound is the same IEEE arithmetic, in the same order, as
// bound_lane's (first_pass_bound.hpp), so every width finds the same lanes.
//
// Included after the file's target pragma; everything here has internal
// linkage, so no path's code is handed to another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/search/int8_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// The vectors below stay within inlined code.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tessaly::kernels {
namespace {

// W floats and W 32-bit integers (GCC takes no vector size that depends on
// a template parameter, hence one of these per width).
template <std::size_t W>
struct BoundVectors;
template <>
struct BoundVectors<4> {
  typedef float Floats __attribute__((vector_size(16)));
  typedef std::int32_t Ints __attribute__((vector_size(16)));
};
template <>
struct BoundVectors<8> {
  typedef float Floats __attribute__((vector_size(32)));
  typedef std::int32_t Ints __attribute__((vector_size(32)));
};
template <>
struct BoundVectors<16> {
  typedef float Floats __attribute__((vector_size(64)));
  typedef std::int32_t Ints __attribute__((vector_size(64)));
};
template <std::size_t W>
using BoundFloats = typename BoundVectors<W>::Floats;
template <std::size_t W>
using BoundInts = typename BoundVectors<W>::Ints;

// Bit j set where lane j of `upper` is not below `threshold` (NaN too): the
// portable way, for any width.
template <std::size_t W>
inline std::uint32_t reaching_bits(BoundFloats<W> upper, float threshold) {
  BoundInts<W> bits;
  for (std::size_t j = 0; j < W; ++j) bits[j] = std::int32_t{1} << j;
  bits &= ~(upper < threshold);
  std::uint32_t out = 0;
  for (std::size_t j = 0; j < W; ++j) out |= static_cast<std::uint32_t>(bits[j]);
  return out;
}

// next_reaching (int8_kernels.hpp): W lanes a vector, `mask(upper,
// threshold)` giving a vector's bits as reaching_bits does. With a mask of
// entries, every step's bits are ANDed with its word, branch-free: a mask
// that leaves most entries out makes most reaching steps come to nothing,
// and a branch on them would be mispredicted at every other step.
template <std::size_t W, bool kSelected, class Mask>
std::size_t next_reaching_in(const BoundFactors& factors, const std::int32_t* dots, const float* alphas,
                             const float* betas, std::size_t from, std::size_t count, float threshold,
                             const EntryMask* selected, std::size_t entry, std::uint32_t& lanes,
                             Mask mask) noexcept {
  static_assert(kBoundLanes % W == 0 && kBoundLanes == kBlockLanes);
  std::size_t step = from;
  // The mask's words from the first step's entry on, and where in a pair
  // of them a step's bits start.
  const std::uint16_t* word = kSelected ? selected->words() + (entry + step) / kBlockLanes : nullptr;
  const std::size_t shift = (entry + step) % kBlockLanes;
  for (; step + kBoundLanes <= count; step += kBoundLanes) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < kBoundLanes; i += W) {
      BoundInts<W> dot;
      BoundFloats<W> alpha, beta;
      std::memcpy(&dot, dots + step + i, sizeof dot);
      std::memcpy(&alpha, alphas + step + i, sizeof alpha);
      std::memcpy(&beta, betas + step + i, sizeof beta);
      const BoundFloats<W> a = (factors.sigma * alpha) * __builtin_convertvector(dot, BoundFloats<W>);
      const BoundFloats<W> upper = a + (beta * factors.slope + factors.offset);
      bits |= mask(upper, threshold) << i;
    }
    if constexpr (kSelected) {
      bits &= (word[0] | static_cast<std::uint32_t>(word[1]) << kBlockLanes) >> shift;
      ++word;
    }
    if (bits != 0) {
      lanes = bits;
      return step;
    }
  }
  lanes = count > step ? (std::uint32_t{1} << (count - step)) - 1 : 0;  // the partial step: all its lanes
  return step;
}

template <std::size_t W, class Mask>
std::size_t next_reaching_by(const BoundFactors& factors, const std::int32_t* dots, const float* alphas,
                             const float* betas, std::size_t from, std::size_t count, float threshold,
                             const EntryMask* selected, std::size_t entry, std::uint32_t& lanes,
                             Mask mask) noexcept {
  if (selected != nullptr) {
    return next_reaching_in<W, true>(factors, dots, alphas, betas, from, count, threshold, selected, entry, lanes,
                                     mask);
  }
  return next_reaching_in<W, false>(factors, dots, alphas, betas, from, count, threshold, selected, entry, lanes,
                                    mask);
}

// The same, with `Bits` for the mask.
template <std::size_t W, std::uint32_t (*Bits)(BoundFloats<W>, float)>
std::size_t next_reaching_with(const BoundFactors& factors, const std::int32_t* dots, const float* alphas,
                               const float* betas, std::size_t from, std::size_t count, float threshold,
                               const EntryMask* selected, std::size_t entry, std::uint32_t& lanes) noexcept {
  return next_reaching_by<W>(factors, dots, alphas, betas, from, count, threshold, selected, entry, lanes,
                             [](BoundFloats<W> upper, float t) { return Bits(upper, t); });
}

#if defined(__x86_64__) || defined(__i386__)
// The masks in one instruction each: "not less than", true when unordered.
// Each states its own target, so it compiles in any file.
__attribute__((target("sse2"))) inline std::uint32_t sse2_reaching_bits(BoundFloats<4> upper, float threshold) {
  return static_cast<std::uint32_t>(_mm_movemask_ps(_mm_cmpnlt_ps((__m128)upper, _mm_set1_ps(threshold))));
}
__attribute__((target("avx2"))) inline std::uint32_t avx2_reaching_bits(BoundFloats<8> upper, float threshold) {
  return static_cast<std::uint32_t>(
      _mm256_movemask_ps(_mm256_cmp_ps((__m256)upper, _mm256_set1_ps(threshold), _CMP_NLT_UQ)));
}
__attribute__((target("avx512f"))) inline std::uint32_t avx512_reaching_bits(BoundFloats<16> upper,
                                                                             float threshold) {
  return _mm512_cmp_ps_mask((__m512)upper, _mm512_set1_ps(threshold), _CMP_NLT_UQ);
}
#endif

}  // namespace
}  // namespace tessaly::kernels
