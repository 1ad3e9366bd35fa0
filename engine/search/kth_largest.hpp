// The k-th largest of the values offered so far, as a threshold that only
// rises: -infinity until k numbers have been offered. NaNs are never
// counted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"

namespace tessaly {

class KthLargest {
 public:
  // For k >= 1; fails only for memory.
  static EngineResult<KthLargest> make(std::size_t k) noexcept {
    KthLargest made(k);
    // Room for k kept and as many again, so that each trim keeps half.
    const std::size_t capacity = k > (SIZE_MAX - 64) / 2 ? SIZE_MAX : 2 * k + 64;
    if (!made.values_.try_reserve(capacity)) return EngineError::out_of_memory();
    return made;
  }

  float threshold() const noexcept { return threshold_; }

  void offer(const float* values, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
      if (!(values[i] > threshold_)) continue;  // NaN too
      if (values_.size() == values_.capacity()) trim();
      values_.push_back_reserved(values[i]);
      settled_ = false;
    }
  }

  // Makes the threshold exact: the k-th largest of everything offered.
  void settle() noexcept {
    if (!settled_ && values_.size() >= k_) trim();
  }

 private:
  explicit KthLargest(std::size_t k) noexcept : k_(k) {}

  // Keeps the k largest; the least of them is the threshold. Values not
  // kept are at most the threshold and can never be among the k largest.
  void trim() noexcept {
    if (values_.size() < k_) return;
    float* kth = values_.data() + (k_ - 1);
    std::nth_element(values_.begin(), kth, values_.end(), std::greater<float>());
    threshold_ = *kth;
    values_.truncate(k_);
    settled_ = true;
  }

  std::size_t k_;
  float threshold_ = -std::numeric_limits<float>::infinity();
  bool settled_ = true;  // nothing offered since the last trim
  Array<float> values_;
};

}  // namespace tessaly
