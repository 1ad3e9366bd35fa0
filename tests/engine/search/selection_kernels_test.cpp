// Every selection kernel this processor runs must pick the k-th smallest
// key, mark the scores that beat a threshold, append runs and keep the best
// as plain C++ does.
#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/runtime/kernel_path.hpp"
#include "engine/search/selection_kernels.hpp"

namespace tessaly {
namespace {

std::vector<const SelectionKernels*> runnable() {
  std::vector<const SelectionKernels*> found{&kernels::portable_selection};
#if defined(__x86_64__) || defined(__i386__)
  const KernelPath best = best_kernel_path();
  if (best == KernelPath::avx512 || best == KernelPath::avx512_vnni) found.push_back(&kernels::avx512_selection);
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
    // Appending runs, then keeping those below a key with a budget of ties,
    // as the portable kernels do one by one.
    {
      std::vector<float> run(kRunScores);
      for (std::size_t j = 0; j < kRunScores; ++j) run[j] = j % 5 == 0 ? -0.0f : j % 7 == 0 ? std::nanf("") : static_cast<float>(j % 4);
      std::vector<std::uint32_t> keys(256), expected_keys(256);
      std::vector<float> scores(256), expected_scores(256);
      std::vector<std::size_t> entries(256), expected_entries(256);
      std::size_t size = 0, expected_size = 0;
      for (const std::uint32_t mask : {0xFFFFu, 0x8001u, 0x00F0u, 0x1234u, 0x0u, 0x7FFFu, 0xFFFFu}) {
        size += selection->append_run(run.data(), mask, 1000 + size, keys.data() + size, scores.data() + size,
                                      entries.data() + size);
        expected_size += kernels::portable_selection.append_run(run.data(), mask, 1000 + expected_size,
            expected_keys.data() + expected_size, expected_scores.data() + expected_size,
            expected_entries.data() + expected_size);
      }
      ASSERT_EQ(size, expected_size);
      for (const std::size_t ties : {0u, 1u, 2u, 30u}) {
        auto k = keys, ek = expected_keys;
        auto sc = scores, es = expected_scores;
        auto en = entries, ee = expected_entries;
        std::size_t last = 0, expected_last = 0;
        const std::size_t kept = selection->keep_below(rank_key(2.0f), ties, k.data(), sc.data(), en.data(), size, last);
        const std::size_t expected_kept = kernels::portable_selection.keep_below(rank_key(2.0f), ties, ek.data(),
                                                                                 es.data(), ee.data(), size, expected_last);
        ASSERT_EQ(kept, expected_kept);
        if (ties != 0) {
          ASSERT_EQ(last, expected_last);
        }
        for (std::size_t i = 0; i < kept; ++i) {
          ASSERT_EQ(k[i], ek[i]);
          ASSERT_EQ(std::bit_cast<std::uint32_t>(sc[i]), std::bit_cast<std::uint32_t>(es[i]));
          ASSERT_EQ(en[i], ee[i]);
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
