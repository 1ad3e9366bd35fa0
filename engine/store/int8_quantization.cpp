#include "engine/store/int8_quantization.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/base/float_environment.hpp"

namespace tessaly {
namespace {

constexpr double kUnit = 0x1p-52;  // twice double's unit roundoff, for the margins below

bool covered_element(double magnitude) noexcept {
  // NaN fails both comparisons; infinity the first.
  return magnitude <= kLargestCovered && (magnitude == 0.0 || magnitude >= kSmallestCovered);
}

}  // namespace

// Exact facts the margins rest on: a float's square and a product of two
// floats are exact in double; a sum of d doubles carries a relative error of
// at most d 2^-53 of the sum of magnitudes, a square root 2^-53.
//
// |x|: the sum of the d exact squares is within d 2^-53 of |x|^2, its root
// within (d + 2) 2^-53 of |x|, so norm (1 - (d + 2) 2^-52) <= |x|.
// r: each computed r_i = fl(x_i - fl(s q_i)) is within 2^-52 (|x_i| + m) of
// the exact one (|s q_i| <= |x_i| + s / 2 <= 2m), so the computed vector is
// within 2^-52 (|x| + sqrt(d) m) <= 2^-52 (1 + sqrt d) |x| of r, and its
// computed norm within (d + 2) 2^-52 of its own: beta as written below is
// at least |r| / |x| (the last term takes the rest).
// alpha = fl(fl(s / norm)): s / norm is within (d + 3) 2^-53 of s / |x|,
// and the float within 2^-24 more: a relative 2^-23 in all.
Int8Terms quantize_int8(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  const auto element = [&](std::size_t i) {
    float value;
    std::memcpy(&value, row + i * sizeof(float), sizeof value);
    return static_cast<double>(value);
  };
  const auto put = [&](std::size_t i, std::int8_t value) { out[i / 4 * group_bytes + i % 4] = value; };
  double largest = 0.0, squares = 0.0;
  bool covered = d <= kMostCoveredDimension;
  for (std::size_t i = 0; i < d; ++i) {
    const double value = element(i);
    const double magnitude = std::fabs(value);
    covered = covered && covered_element(magnitude);
    largest = std::max(largest, magnitude);
    squares += value * value;
  }
  if (!covered || largest == 0.0) {
    for (std::size_t i = 0; i < d; ++i) put(i, 0);
    return {std::numeric_limits<float>::quiet_NaN(), 0.0f};
  }
  const double scale = largest / 127.0;
  const double inverse = 127.0 / largest;
  double residual = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    const double q = std::clamp(std::nearbyint(element(i) * inverse), -127.0, 127.0);
    put(i, static_cast<std::int8_t>(q));
    const double r = element(i) - scale * q;
    residual += r * r;
  }
  const double widening = 1.0 + static_cast<double>(d + 2) * kUnit;
  const double norm = std::sqrt(squares);
  const double norm_below = norm / widening;
  const double beta = std::sqrt(residual) * widening / norm_below + 0x1p-40;
  return {static_cast<float>(scale / norm), float_at_least(beta)};
}

}  // namespace tessaly
