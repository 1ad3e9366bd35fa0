// Ranked search of a store, on the calling thread and on worker threads.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/search/search.hpp"
#include "tests/engine/arrays.hpp"

namespace tessaly {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

// (score bits, id): exact, and -0.0 differs from +0.0.
using Line = std::pair<std::uint32_t, std::uint64_t>;
std::vector<Line> lines(const Array<ResultPair>& pairs) {
  std::vector<Line> out;
  for (const ResultPair& p : pairs) out.emplace_back(std::bit_cast<std::uint32_t>(p.score), p.id);
  return out;
}

std::vector<std::uint64_t> ids(const Array<ResultPair>& pairs) {
  std::vector<std::uint64_t> out;
  for (const ResultPair& p : pairs) out.push_back(p.id);
  return out;
}

std::vector<Line> lines(const EngineResult<Array<ResultPair>>& result) { return lines(result.value()); }

// Every entry scores -1 against [1, 0]; an unused lane (zeros, scoring 0.0)
// or a refused vector ([1, 0], scoring 1.0) would beat them all if offered.
TEST(Search, FailedInsertsAndUnusedLanesNeverRank) {
  for (std::size_t count : {1, 5, 15, 16, 17, 40}) {
    Vectorstore store(2);
    for (std::uint64_t id = 0; id < count; ++id) {
      ASSERT_TRUE(store.insert(floats({-1, 0}), id).ok());
      ASSERT_FALSE(store.insert(floats({1, 0, 0}), 99).ok());
    }
    for (std::size_t top_k : {std::size_t{1}, count, kMax}) {
      auto found = search(store, std::vector<float>{1, 0}, top_k).value();
      ASSERT_EQ(found.size(), std::min(top_k, count));
      for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].id, i);
        EXPECT_EQ(found[i].score, -1.0f);
      }
    }
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(row(store, i), (std::vector<float>{-1, 0}));
  }
}

Vectorstore sample_store() {
  return built(2, {{{1, 0}, 10}, {{0, 1}, 20}, {{1, 1}, 30}, {{2, 0}, 40}, {{-1, 0}, 50}}).value();
}

TEST(Search, ChecksQueryLengthBeforeAnythingElse) {
  const Vectorstore empty(2);
  const Vectorstore full = sample_store();
  for (const Vectorstore* store : {&empty, &full}) {
    for (std::size_t top_k : {std::size_t{0}, std::size_t{5}}) {
      auto result = search(*store, std::vector<float>{1, 0, 0}, top_k);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message.view(), "query has length 3 but vectorstore expects 2");
    }
  }
  auto result = search(empty, std::vector<float>{1}, 5);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message.view(), "query has length 1 but vectorstore expects 2");
  EXPECT_TRUE(search(empty, std::vector<float>{1, 0}, 5).value().empty());
}

TEST(Search, RanksBestFirstTiesInInsertionOrder) {
  const Vectorstore store = sample_store();
  const std::vector<float> query{1, 0};
  const std::vector<Line> all{
      {0x3F800000, 10}, {0x3F800000, 40}, {0x3F3504F3, 30}, {0x00000000, 20}, {0xBF800000, 50}};
  EXPECT_EQ(lines(search(store, query, 5).value()), all);
  EXPECT_EQ(lines(search(store, query, 3).value()), std::vector<Line>(all.begin(), all.begin() + 3));
  EXPECT_TRUE(search(store, query, 0).value().empty());
  EXPECT_EQ(lines(search(store, query, 6).value()), all);
  EXPECT_EQ(lines(search(store, query, kMax).value()), all);
  EXPECT_EQ(lines(search(store, std::vector<float>{0, 0}, 2).value()),
            (std::vector<Line>{{0, 10}, {0, 20}}));
}

TEST(Search, SignedZeroScoresTie) {
  // Against [1, -0.0]: [-0.0, 1] scores -0.0, [0, 1] scores +0.0.
  const Vectorstore store = built(2, {{{-0.0f, 1}, 1}, {{0, 1}, 2}, {{-0.0f, 1}, 3}}).value();
  EXPECT_EQ(lines(search(store, std::vector<float>{1, -0.0f}, 3).value()),
            (std::vector<Line>{{0x80000000, 1}, {0x00000000, 2}, {0x80000000, 3}}));
}

TEST(Search, ManyEqualScoresKeepInsertionOrder) {
  Vectorstore store(3);
  std::vector<std::uint64_t> expected;
  for (std::uint64_t id = 0; id < 100; ++id) {
    ASSERT_TRUE(store.insert(floats({0.5f, -1.0f, 2.0f}), id).ok());
    expected.push_back(id);
  }
  EXPECT_EQ(ids(search(store, std::vector<float>{0.5f, -1.0f, 2.0f}, 100).value()), expected);
}

TEST(Search, NaNScoresRankAfterEveryNumber) {
  // Every third entry holds a NaN; the others score 1/sqrt(1 + i*i), falling with i.
  Vectorstore store(2);
  std::vector<std::uint64_t> numbers, nans;
  for (std::uint64_t i = 0; i < 40; ++i) {
    const bool nan = i % 3 == 1;
    ASSERT_TRUE(store.insert(floats({nan ? kNaN : 1.0f, static_cast<float>(i)}), i).ok());
    (nan ? nans : numbers).push_back(i);
  }
  const std::size_t finite = numbers.size();
  numbers.insert(numbers.end(), nans.begin(), nans.end());
  const auto result = search(store, std::vector<float>{1, 0}, kMax).value();
  EXPECT_EQ(ids(result), numbers);
  for (std::size_t i = 0; i < result.size(); ++i) {
    EXPECT_EQ(std::isnan(result[i].score), i >= finite) << "position " << i;
  }
}

TEST(Search, AllNaNScoresKeepInsertionOrder) {
  Vectorstore store(2);
  for (std::uint64_t i = 0; i < 40; ++i) {
    ASSERT_TRUE(store.insert(floats({static_cast<float>(40 - i), static_cast<float>(i % 7)}), i).ok());
  }
  const auto result = search(store, std::vector<float>{kNaN, 1}, 25).value();
  ASSERT_EQ(result.size(), 25u);
  for (std::uint64_t i = 0; i < 25; ++i) {
    EXPECT_EQ(result[i].id, i);
    EXPECT_TRUE(std::isnan(result[i].score));
  }
}

// Components in -2..2 make equal scores common; about a third of the rows
// repeat an earlier row, and ids repeat too.
Vectorstore random_store(std::mt19937& rng, std::size_t dimension, std::size_t count) {
  std::uniform_int_distribution<int> component(-2, 2);
  Vectorstore store(dimension);
  std::vector<std::vector<float>> rows;
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> row;
    if (!rows.empty() && rng() % 3 == 0) {
      row = rows[rng() % rows.size()];
    } else {
      for (std::size_t d = 0; d < dimension; ++d) row.push_back(static_cast<float>(component(rng)));
    }
    rows.push_back(row);
    EXPECT_TRUE(store.insert(floats(row), rng() % 16).ok());
  }
  return store;
}

TEST(ParallelSearch, EqualsSearchForAnyWorkerCountAndTopK) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t dimension = 1 + seed % 4, count = 1 + rng() % 70;
    const Vectorstore store = random_store(rng, dimension, count);
    std::vector<float> query;
    for (std::size_t d = 0; d < dimension; ++d) query.push_back(static_cast<float>(rng() % 5) - 2);
    for (std::optional<std::size_t> n :
         {std::optional<std::size_t>{}, {0}, {1}, {2}, {3}, {count - 1}, {count}, {count + 1}, {1000}}) {
      for (std::size_t top_k : {std::size_t{0}, std::size_t{1}, std::size_t{3}, count - 1, count,
                                count + 7, kMax}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << count << " entries, n_threads "
                                        << (n ? std::to_string(*n) : "none") << ", top_k " << top_k);
        EXPECT_EQ(lines(parallel_search(store, query, top_k, n)), lines(search(store, query, top_k)));
      }
    }
  }
}

TEST(ParallelSearch, EqualScoresKeepInsertionOrderAcrossChunks) {
  Vectorstore store(2);
  for (std::uint64_t id = 1; id <= 5; ++id) ASSERT_TRUE(store.insert(floats({0.25f, 4.0f}), id).ok());
  const auto result = parallel_search(store, std::vector<float>{0.25f, 4.0f}, 5, 3).value();
  ASSERT_EQ(result.size(), 5u);
  for (std::uint64_t i = 0; i < 5; ++i) EXPECT_EQ(result[i].id, i + 1);
}

TEST(ParallelSearch, AllNaNScoresKeepInsertionOrderWhateverTheChunks) {
  Vectorstore store(2);
  for (std::uint64_t i = 0; i < 30; ++i) {
    ASSERT_TRUE(store.insert(floats({1.0f + static_cast<float>(i % 4), -2.0f}), i).ok());
  }
  for (std::size_t n : {1, 3, 4, 7, 30, 100}) {
    const auto result = parallel_search(store, std::vector<float>{1, kNaN}, 8, n).value();
    ASSERT_EQ(result.size(), 8u);
    for (std::uint64_t i = 0; i < 8; ++i) {
      EXPECT_EQ(result[i].id, i) << "n_threads " << n;
      EXPECT_TRUE(std::isnan(result[i].score));
    }
  }
}

TEST(ParallelSearch, EmptyStoreNeedsNoWorkers) {
  // Planning chunks for no entries would divide by zero, and kMax workers
  // could never be started: both calls must return before either.
  const Vectorstore store(3);
  for (std::optional<std::size_t> n : {std::optional<std::size_t>{}, {0}, {1}, {kMax}}) {
    auto result = parallel_search(store, std::vector<float>{1, 2, 3}, kMax, n);
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.value().empty());
  }
  auto wrong = parallel_search(store, std::vector<float>{1, 2}, 0, kMax);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().message.view(), "query has length 2 but vectorstore expects 3");
}

}  // namespace
}  // namespace tessaly
