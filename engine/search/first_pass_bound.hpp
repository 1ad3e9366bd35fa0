// The first pass's bound: from a query's and an entry's int8 elements and
// their integer dot product, an interval [lower, upper] that holds the
// float score cosine_score gives the pair.
//
// Why it holds. Write u = 2^-24 (float's unit roundoff) and, for vectors q
// (the query) and x (an entry), both covered (int8_quantization.hpp: finite,
// nonzero norms, nonzero elements in [2^-50, 2^50], d <= 2^16), c = q.x /
// (|q| |x|), their exact cosine, |c| <= 1.
//
// 1. The kernel's score s is within eps of c. Every product q_i x_i and
//    square is 0 or in [2^-100, 2^100], a normal float; sums stay below
//    d 2^100 < 2^128; a sum whose result falls below the normal range is
//    exact. So the standard model holds for every operation, and with
//    g = d u / (1 - d u):
//      fl(dot) = q.x + t, |t| <= g sum |q_i x_i| <= g |q| |x|;
//      fl(|q|^2) = |q|^2 (1 + ta), fl(|x|^2) = |x|^2 (1 + tb), |ta|, |tb| <= g;
//    two roots, a product and the quotient round once each (the quotient
//    may fall below the normal range: 2^-149 absolute more), so
//      s = (c + t') m (+- 2^-149), |t'| <= g,
//      m = (1 + e4) / (sqrt((1 + ta)(1 + tb)) (1 + e1)(1 + e2)(1 + e3)),
//    and for g <= 2^-7, |m - 1| <= g + 4u + 3 g^2. Hence
//      |s - c| <= |m - 1| + g |m| + 2^-149 <= eps = 2g + 4u + 5 g^2 + 2^-149.
// 2. The quantized product is within E of c. With x = sx x~ + rx and
//    q = sq q~ + rq (int8_quantization.hpp; the query's elements in
//    [-127, 127]):
//      q.x - sq sx (q~ . x~) = sq q~ . rx + rq . x,
//    |sq q~| <= |q| + |rq|, so, dividing by |q| |x|, with
//    A = (sq / |q|) (sx / |x|) (q~ . x~), beta >= |rx| / |x|, rho >= |rq| / |q|:
//      |c - A| <= E = beta (1 + rho) + rho.
//    beta, rho <= 1 + 2^-20 (each residual element is at most its element),
//    so E <= 3.0001 and |A| <= 4.0001.
// 3. The float evaluation. lower and upper are computed in float, in this
//    order, from alpha and sigma (within a relative 2^-23 of sx / |x| and
//    sq / |q|), beta, and the query's slope >= 1 + rho and offset >=
//    rho + eps + M, M = 2^-17 (both rounded up):
//      a = fl(fl(sigma alpha) fl(D)),   D = q~ . x~, exact in 32 bits;
//      e = fl(fl(beta slope) + offset);
//      lower = fl(a - e), upper = fl(a + e).
//    a is within (1 + 2^-23)^2 (1 + u)^3 - 1 < 2^-20.9 relatively of A, so
//    within 4.0001 2^-20.9 < 2^-18.9 absolutely; e is at least
//    E + eps + M less 2^-24 (2.1 + 3.3) < 2^-21; the last rounding moves
//    a -+ e (at most 7.5) by under 2^-21. So lower <= A - E - eps - M +
//    2^-18.9 + 2^-20 <= c - eps <= s, and likewise upper >= s: M = 2^-17
//    exceeds 2^-18.9 + 2^-20 with room.
// An entry that is not covered has alpha NaN, so both bounds are NaN: it is
// always a candidate. A query that is not covered takes no first pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/search/int8_kernels.hpp"
#include "engine/store/int8_quantization.hpp"

namespace tessaly {

// A query quantized for the first pass, with its terms of the bound.
struct FirstPassQuery {
  bool covered = false;
  Array<std::int8_t> elements;  // in groups of four, zero past the dimension
  std::int32_t bias = 0;        // 128 * the sum of the elements
  float sigma = 0.0f;           // sq / |q|, within a relative 2^-23
  float slope = 0.0f;           // at least 1 + rho
  float offset = 0.0f;          // at least rho + eps + M

  Int8Query int8(std::size_t lines) const noexcept { return {elements.data(), lines, bias}; }
  BoundFactors factors() const noexcept { return {sigma, slope, offset}; }
};

// The query quantized to elements in [-127, 127] (`lines` groups of four);
// not covered when the bound does not hold for it. Rounds by the
// floating-point mode (the caller pins it). Fails only for memory.
EngineResult<FirstPassQuery> quantize_query(std::span<const float> query, std::size_t lines) noexcept;

// One lane's interval, as the first stage and every path's next_reaching
// (int8_kernels.hpp) compute it.
struct LaneBounds {
  float lower, upper;
};
inline LaneBounds bound_lane(const FirstPassQuery& query, std::int32_t dot, float alpha, float beta) noexcept {
  const float a = (query.sigma * alpha) * static_cast<float>(dot);
  const float e = beta * query.slope + query.offset;
  return {a - e, a + e};
}

}  // namespace tessaly
