#include "engine/search/cosine.hpp"

#include <algorithm>
#include <cmath>

namespace tessaly {

float squared_norm(std::span<const float> v) noexcept {
  float sum = -0.0f;
  for (float x : v) sum += x * x;
  return sum;
}

float cosine_score(std::span<const float> a, std::span<const float> b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  float dot = -0.0f;
  for (std::size_t i = 0; i < n; ++i) dot += a[i] * b[i];
  const float sa = squared_norm(a);
  const float sb = squared_norm(b);
  if (sa == 0.0f || sb == 0.0f) return 0.0f;
  return canonical_nan(dot / (std::sqrt(sa) * std::sqrt(sb)));
}

}  // namespace tessaly
