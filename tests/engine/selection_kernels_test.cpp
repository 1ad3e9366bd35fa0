// Every selection kernel this processor runs must pick the k-th smallest
// key, and mark the scores that beat a threshold, as plain C++ does.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/kernel_path.hpp"
#include "engine/selection_kernels.hpp"

namespace tessaly {
namespace {

std::vector<const SelectionKernels*> runnable() {
  std::vector<const SelectionKernels*> found{&kernels::portable_selection};
#if defined(__x86_64__) || defined(__i386__)
  if (best_kernel_path() == KernelPath::avx512) found.push_back(&kernels::avx512_selection);
#endif
  return found;
}

TEST(SelectionKernels, KthKeyAndWinnersMatchPlainCpp) {
  std::mt19937 rng(5);
  for (const SelectionKernels* selection : runnable()) {
    for (const std::size_t n : {1u, 2u, 16u, 17u, 31u, 32u, 33u, 100u, 316u, 1000u}) {
      for (const std::uint32_t spread : {3u, 1000u, 0xFFFFFFFFu}) {  // many ties, some, hardly any
        std::vector<std::uint32_t> keys(n), spare(2 * n + 32);
        for (std::uint32_t& key : keys) key = std::uniform_int_distribution<std::uint32_t>(0, spread)(rng);
        std::vector<std::uint32_t> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        for (const std::size_t k : {std::size_t{0}, n / 3, n - 1}) {
          std::vector<std::uint32_t> work = keys;
          const NthKey nth = selection->nth_smallest(work.data(), spare.data(), n, k);
          ASSERT_EQ(nth.key, sorted[k]) << "n " << n << ", k " << k;
          ASSERT_EQ(nth.below, static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), nth.key) - sorted.begin()));
        }
      }
    }
    std::vector<float> scores(64 * kRunScores);
    for (float& score : scores) score = std::uniform_int_distribution<int>(-3, 3)(rng) * 0.5f;
    scores[5] = std::nanf("");
    std::uint16_t masks[64];
    for (const float threshold : {-1.0f, 0.0f, 1.5f, std::nanf("")}) {
      const std::uint64_t won = selection->run_masks(scores.data(), 64, threshold, masks);
      for (std::size_t r = 0; r < 64; ++r) {
        std::uint16_t expected = 0;
        for (std::size_t j = 0; j < kRunScores; ++j) {
          const float score = scores[r * kRunScores + j];
          expected |= static_cast<std::uint16_t>((threshold == threshold ? score > threshold : score == score) << j);
        }
        ASSERT_EQ(masks[r], expected);
        ASSERT_EQ((won >> r) & 1, expected != 0 ? 1u : 0u);
      }
    }
  }
}

}  // namespace
}  // namespace tessaly
