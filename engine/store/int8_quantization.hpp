// An entry quantized to int8 with a scale of its own, and what a bound on
// its cosine scores needs to know of it (engine/search/first_pass_bound.hpp
// proves the bound from what is promised here).
//
// For an entry x of d float elements, with m = max |x_i| and the scale
// s = m / 127 (a double), the elements are x~_i = round(x_i / s), integers
// in [-127, 127], and the residual r = x - s x~ is exact real arithmetic.
// Two numbers are kept, each a float:
//   alpha >= 0, within a relative 2^-23 of s / |x| (|x| the entry's exact
//       Euclidean norm), so that s x~ . y = alpha |x| (x~ . y) up to that;
//   beta, at least |r| / |x|, and at most 1 + 2^-20: each |r_i| <= |x_i|,
//       as x~_i is 0 or of x_i's sign with |s x~_i - x_i| <= s / 2 <= |x_i|.
// An entry the bound does not cover gets alpha NaN and beta 0: a non-finite
// element, a zero norm, a nonzero element outside [2^-50, 2^50], whose
// products could fall below the normal range or overflow, or a dimension
// above kMostCoveredDimension.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tessaly {

// The magnitudes a covered entry's (or query's) nonzero elements lie in.
inline constexpr double kSmallestCovered = 0x1p-50;
inline constexpr double kLargestCovered = 0x1p50;
// The largest dimension covered: the bound's margins take d 2^-24 to be
// small.
inline constexpr std::size_t kMostCoveredDimension = std::size_t{1} << 16;

struct Int8Terms {
  float alpha;  // NaN: not covered
  float beta;
};

// Reads the entry's d floats from `row` (which need not be aligned), writes
// its quantized elements in groups of four, element i at
// out[i / 4 * group_bytes + i % 4] (all 0 for an entry that is not covered),
// and returns its terms. Rounds by the floating-point mode (the caller
// pins it).
Int8Terms quantize_int8(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept;

// `count` entries of d floats each: entry r read from rows + r * row_bytes,
// its elements written at out + r * out_step as quantize_int8 writes them
// (group_bytes apart), its terms to alphas[r] and betas[r].
struct Int8Batch {
  const char* rows;
  std::ptrdiff_t row_bytes;
  std::size_t count;
  std::size_t d;
  std::int8_t* out;
  std::size_t out_step;
  std::size_t group_bytes;
  float* alphas;
  float* betas;
};

// The same bits as quantize_int8 entry by entry, in less time.
void quantize_int8_batch(const Int8Batch& batch) noexcept;

// The versions this processor runs, portable first, widest (the one
// quantize_int8 and quantize_int8_batch use) last; all give the same bits.
using QuantizeInt8 = Int8Terms (*)(const char* row, std::size_t d, std::int8_t* out,
                                   std::size_t group_bytes) noexcept;
using QuantizeInt8Batch = void (*)(const Int8Batch& batch) noexcept;
std::span<const QuantizeInt8> quantize_int8_versions() noexcept;
// In the same order.
std::span<const QuantizeInt8Batch> quantize_int8_batch_versions() noexcept;

namespace quantization {
Int8Terms portable(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept;
void portable_batch(const Int8Batch& batch) noexcept;
#if defined(__x86_64__) || defined(__i386__)
Int8Terms avx2(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept;
void avx2_batch(const Int8Batch& batch) noexcept;
Int8Terms avx512(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept;
void avx512_batch(const Int8Batch& batch) noexcept;
#endif
}  // namespace quantization

}  // namespace tessaly
