// Every kernel path must give cosine_score's bits for every entry.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/cosine.hpp"
#include "engine/score_batch.hpp"

namespace tessaly {
namespace {

// Values that stress rounding: subnormals, squares that overflow or vanish,
// signed zeros, NaN and infinities, mixed with ordinary numbers.
float adversarial(std::mt19937& rng) {
  static const float specials[] = {
      0.0f, -0.0f, 1e-45f, -1e-45f, 1e-40f, 3e-23f, 1e-30f, 1.8e19f, -2e19f, 3e38f,
      std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::quiet_NaN(), 1.0f, -1.0f, 0.1f};
  std::uniform_int_distribution<int> pick(0, 3 * static_cast<int>(std::size(specials)));
  const int which = pick(rng);
  if (which < static_cast<int>(std::size(specials))) return specials[which];
  return std::normal_distribution<float>(0.0f, 1.0f)(rng);
}

void expect_same_bits(float got, float want, const char* where, std::size_t j) {
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << where << " entry " << j;  // payload order is not fixed
  } else {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want))
        << where << " entry " << j << ": " << got << " vs " << want;
  }
}

TEST(ScoreBatch, EveryPathMatchesTheKernelBitForBit) {
  std::mt19937 rng(7);
  const std::size_t dimensions[] = {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100};
  const std::size_t counts[] = {1, 3, 4, 5, 8, 15, 16, 17, 33, 70};
  for (const KernelPath path : available_kernel_paths()) {
    for (const std::size_t dimension : dimensions) {
      for (const std::size_t count : counts) {
        const bool special = (dimension + count) % 2 == 0;
        auto value = [&] {
          return special ? adversarial(rng) : std::normal_distribution<float>()(rng);
        };
        std::vector<float> query(dimension);
        for (float& x : query) x = value();
        std::vector<StoredVector> entries(count);
        for (StoredVector& entry : entries) {
          ASSERT_TRUE(entry.vector.try_resize(dimension));
          for (float& x : entry.vector) x = value();
        }
        std::vector<float> scores(count);
        score_batch_on(path, QueryTerms(query), entries.data(), count, scores.data());
        for (std::size_t j = 0; j < count; ++j) {
          expect_same_bits(scores[j], cosine_score(query, entries[j].vector),
                           kernel_path_name(path).data(), j);
        }
      }
    }
  }
}

TEST(ScoreBatch, ScalarPathIsAlwaysAvailable) {
  const auto paths = available_kernel_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), KernelPath::scalar);
}

}  // namespace
}  // namespace tessaly
