// Every kernel path must give cosine_score's bits for every entry, one query
// at a time and in groups.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "engine/search/block_kernels.hpp"
#include "engine/search/cosine.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {
namespace {

// Values that stress rounding: subnormals, squares that overflow or vanish,
// signed zeros, NaN and infinities, mixed with ordinary numbers.
float adversarial(std::mt19937& rng) {
  static const float specials[] = {
      0.0f, -0.0f, 1e-45f, -1e-45f, 1e-40f, 3e-23f, 1e-30f, 1.8e19f, -2e19f, 3e38f,
      std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(), 1.0f, -1.0f, 0.1f};
  std::uniform_int_distribution<int> pick(0, 3 * static_cast<int>(std::size(specials)));
  const int which = pick(rng);
  if (which < static_cast<int>(std::size(specials))) return specials[which];
  return std::normal_distribution<float>(0.0f, 1.0f)(rng);
}

struct Sample {
  Vectorstore store;
  std::vector<std::vector<float>> rows;
  std::vector<std::vector<float>> queries;
};

Sample sample(std::mt19937& rng, std::size_t dimension, std::size_t count, std::size_t queries) {
  const bool special = (dimension + count) % 2 == 0;
  auto value = [&] { return special ? adversarial(rng) : std::normal_distribution<float>()(rng); };
  Sample made{Vectorstore(dimension), {}, {}};
  for (std::size_t j = 0; j < count; ++j) {
    std::vector<float> row(dimension);
    for (float& x : row) x = value();
    EXPECT_TRUE(made.store.insert(row, j).ok());
    made.rows.push_back(row);
  }
  for (std::size_t k = 0; k < queries; ++k) {
    std::vector<float> query(dimension);
    for (float& x : query) x = value();
    made.queries.push_back(query);
  }
  return made;
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

const std::size_t kDimensions[] = {0, 1, 3, 4, 7, 16, 17, 33, 100};
const std::size_t kCounts[] = {1, 15, 16, 17, 33, 60, 70};

TEST(BlockKernels, EveryPathMatchesTheKernelBitForBit) {
  std::mt19937 rng(7);
  for (const std::size_t dimension : kDimensions) {
    for (const std::size_t count : kCounts) {
      const Sample s = sample(rng, dimension, count, kMaxGroup + 2);
      const std::size_t blocks = (count + kBlockLanes - 1) / kBlockLanes;
      for (const KernelPath path : available_kernel_paths()) {
        const BlockKernels& kernels = block_kernels(path);
        SCOPED_TRACE(testing::Message() << kernel_path_name(path) << ", dimension " << dimension
                                        << ", " << count << " entries");
        // One query at a time, over runs of one and of several blocks.
        for (const std::size_t most : {std::size_t{1}, blocks}) {
          std::vector<float> scores(blocks * kBlockLanes, -1.0f);
          const QueryTerms terms(s.queries[0]);
          s.store.blocks().for_each_run(0, blocks, most, [&](const float* run, std::size_t first, std::size_t n) {
            kernels.score(terms, run, n, scores.data() + first * kBlockLanes);
          });
          for (std::size_t j = 0; j < count; ++j) {
            ASSERT_EQ(bits(scores[j]), bits(cosine_score(s.queries[0], s.rows[j]))) << "entry " << j;
          }
        }
        // Batches of every size up to one past the path's group, so that the
        // last group takes every size, the first computing the roots the
        // others use; runs of every length up to a few tiles of blocks, so
        // that the last tile does too.
        std::vector<float> scores(kMaxGroup * blocks * kBlockLanes);
        s.store.blocks().for_each_run(0, blocks, blocks, [&](const float* run, std::size_t, std::size_t n) {
          ASSERT_EQ(n, blocks);
          for (std::size_t size = 1; size <= kernels.group_size + 1; ++size) {
            std::vector<float> roots(blocks * kBlockLanes, std::nanf(""));
            const std::vector<std::span<const float>> batch(s.queries.begin() + 1, s.queries.begin() + 1 + size);
            std::vector<std::size_t> order(size);
            for (std::size_t q = 0; q < size; ++q) order[q] = q;
            auto made = make_query_groups(QueryRows(QueryBatch(batch)), order, dimension, kernels.group_size);
            ASSERT_TRUE(made.ok());
            for (std::size_t g = 0; g < made.value().groups.size(); ++g) {
              const QueryGroup& group = made.value().groups[g];
              kernels.score_group(group, run, n, dimension, roots.data(), g == 0 ? Roots::compute : Roots::known,
                                  scores.data(), n * kBlockLanes, {run, n * dimension});
              for (std::size_t k = 0; k < group.count; ++k) {
                const std::size_t query = 1 + g * kernels.group_size + k;
                for (std::size_t j = 0; j < count; ++j) {
                  ASSERT_EQ(bits(scores[k * n * kBlockLanes + j]), bits(cosine_score(s.queries[query], s.rows[j])))
                      << "batch of " << size << ", query " << query << ", entry " << j;
                }
              }
            }
          }
        });
      }
    }
  }
}

TEST(BlockKernels, ScalarPathIsAlwaysAvailable) {
  const auto paths = available_kernel_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), KernelPath::scalar);
}

}  // namespace
}  // namespace tessaly
