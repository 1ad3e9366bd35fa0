// The one score everything ranks by: cosine similarity in single precision.
//
// Floating-point contract (every path that scores must give these bits):
//   d, sa, sb each start at -0.0f and accumulate in index order, one
//   accumulator each; every product is rounded to float before its addition
//   (no fused multiply-add: build with -ffp-contract=off); no flush-to-zero.
//   A squared norm that compares equal to zero gives +0.0f; otherwise the
//   score is d / (sqrt(sa) * sqrt(sb)), every step rounded to float.
//   A NaN score is always the one canonical NaN: processors differ in the
//   NaN an operation makes (x86 sets its sign, ARM does not), and a NaN
//   operand passes its own payload on.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace tessaly {

// The positive quiet NaN, the bits of Python's float('nan').
inline constexpr float kCanonicalNaN = std::bit_cast<float>(std::uint32_t{0x7FC00000});

inline float canonical_nan(float score) noexcept { return score != score ? kCanonicalNaN : score; }

// Lengths should agree (callers check); otherwise the dot product pairs
// elements up to the shorter length and each norm runs over its own array.
float cosine_score(std::span<const float> a, std::span<const float> b) noexcept;

// Sum of v[i] * v[i] in index order from -0.0f, each product rounded first.
float squared_norm(std::span<const float> v) noexcept;

}  // namespace tessaly
