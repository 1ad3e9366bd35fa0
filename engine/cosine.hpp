// The one score everything ranks by: cosine similarity in single precision.
//
// Floating-point contract (every path that scores must give these bits):
//   d, sa, sb each start at -0.0f and accumulate in index order, one
//   accumulator each; every product is rounded to float before its addition
//   (no fused multiply-add: build with -ffp-contract=off); no flush-to-zero.
//   A squared norm that compares equal to zero gives +0.0f; otherwise the
//   score is d / (sqrt(sa) * sqrt(sb)), every step rounded to float.
#pragma once

#include <span>

namespace tessaly {

// Lengths should agree (callers check); otherwise the dot product pairs
// elements up to the shorter length and each norm runs over its own array.
float cosine_score(std::span<const float> a, std::span<const float> b) noexcept;

// Sum of v[i] * v[i] in index order from -0.0f, each product rounded first.
float squared_norm(std::span<const float> v) noexcept;

}  // namespace tessaly
