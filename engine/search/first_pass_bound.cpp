#include "engine/search/first_pass_bound.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/base/float_environment.hpp"
#include "engine/store/int8_copy.hpp"

// The vectors below stay within one function.
#pragma GCC diagnostic ignored "-Wpsabi"

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
  const double scale = largest / 63.0, inverse = 63.0 / largest;
  double residual = 0.0;
  std::int32_t sum = 0;
  for (std::size_t i = 0; i < d; ++i) {
    const double q = std::clamp(std::nearbyint(query[i] * inverse), -63.0, 63.0);
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

void bound_lanes(const FirstPassQuery& query, const std::int32_t* dots, const float* alphas, const float* betas,
                 std::size_t count, float* lower, float* upper) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const LaneBounds bounds = bound_lane(query, dots[i], alphas[i], betas[i]);
    lower[i] = bounds.lower;
    upper[i] = bounds.upper;
  }
}

std::size_t next_reaching(const FirstPassQuery& query, const std::int32_t* dots, const float* alphas,
                          const float* betas, std::size_t from, std::size_t count, float threshold,
                          std::uint32_t& lanes) noexcept {
  // Four lanes a vector: a register of SSE2 or NEON, which every processor
  // the module runs on has.
  using Floats = float __attribute__((vector_size(16)));
  using Ints = std::int32_t __attribute__((vector_size(16)));
  constexpr std::size_t kWidth = 4;
  std::size_t step = from;
  for (; step + kBoundLanes <= count; step += kBoundLanes) {
    Ints reaching = {};
    for (std::size_t i = 0; i < kBoundLanes; i += kWidth) {
      Ints dot;
      Floats alpha, beta;
      std::memcpy(&dot, dots + step + i, sizeof dot);
      std::memcpy(&alpha, alphas + step + i, sizeof alpha);
      std::memcpy(&beta, betas + step + i, sizeof beta);
      const Floats a = (query.sigma * alpha) * __builtin_convertvector(dot, Floats);
      const Floats upper = a + (beta * query.slope + query.offset);
      // Lane j's bit, 1 << (i + j), where it reaches (NaN lanes too).
      reaching |= ~(upper < threshold) & (Ints{1, 2, 4, 8} << static_cast<std::int32_t>(i));
    }
    const auto bits = static_cast<std::uint32_t>((reaching[0] | reaching[1]) | (reaching[2] | reaching[3]));
    if (bits != 0) {
      lanes = bits;
      return step;
    }
  }
  lanes = count > step ? (std::uint32_t{1} << (count - step)) - 1 : 0;  // the partial step: all its lanes
  return step;
}

}  // namespace tessaly
