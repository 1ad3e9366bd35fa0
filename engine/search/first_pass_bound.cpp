#include "engine/search/first_pass_bound.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/base/float_environment.hpp"
#include "engine/store/int8_copy.hpp"

namespace tessaly {
namespace {

constexpr double kUnit = 0x1p-24;  // float's unit roundoff
constexpr double kMargin = 0x1p-17;

// The kernel's distance from the exact cosine, eps above, for d elements.
double kernel_rounding(std::size_t d) noexcept {
  const double du = static_cast<double>(d) * kUnit;
  const double g = du / (1.0 - du);
  return 2.0 * g + 4.0 * kUnit + 5.0 * g * g + 0x1p-149;
}

bool covered_element(double magnitude) noexcept {
  return magnitude <= kLargestCovered && (magnitude == 0.0 || magnitude >= kSmallestCovered);
}

}  // namespace

// The double sums and roots below carry the margins of
// int8_quantization.cpp: sigma within a relative 2^-23 of sq / |q|, rho at
// least |rq| / |q|. The doubles that make slope and offset round by under
// 2^-50 before they are rounded up to floats, which M's room takes.
EngineResult<FirstPassQuery> quantize_query(std::span<const float> query, std::size_t lines) noexcept {
  FirstPassQuery made;
  const std::size_t d = query.size();
  if (!made.elements.try_resize(lines * kInt8LaneElements)) return EngineError::out_of_memory();
  double largest = 0.0, squares = 0.0;
  bool covered = d <= kMostCoveredDimension;
  for (const float element : query) {
    const double value = element, magnitude = std::fabs(value);
    covered = covered && covered_element(magnitude);
    largest = std::max(largest, magnitude);
    squares += value * value;
  }
  if (!covered || largest == 0.0) return made;
  const double scale = largest / 127.0, inverse = 127.0 / largest;
  double residual = 0.0;
  std::int32_t sum = 0;
  for (std::size_t i = 0; i < d; ++i) {
    const double q = std::clamp(std::nearbyint(query[i] * inverse), -127.0, 127.0);
    made.elements[i] = static_cast<std::int8_t>(q);
    sum += static_cast<std::int32_t>(q);
    const double r = query[i] - scale * q;
    residual += r * r;
  }
  const double widening = 1.0 + static_cast<double>(d + 2) * 0x1p-52;
  const double norm = std::sqrt(squares);
  const double rho = std::sqrt(residual) * widening * widening / norm + 0x1p-40;
  made.covered = true;
  made.bias = 128 * sum;
  made.sigma = narrow_to_float(scale / norm);
  made.slope = float_at_least(1.0 + rho);
  made.offset = float_at_least(rho + kernel_rounding(d) + kMargin);
  return made;
}

}  // namespace tessaly
