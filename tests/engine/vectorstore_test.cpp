// Building the store, appending to it, and ranked search on the calling thread.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/vectorstore.hpp"
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

// Entry `entry` of the store, read back from its lanes.
std::vector<float> row(const Vectorstore& store, std::size_t entry) {
  std::vector<float> out;
  for (std::size_t i = 0; i < store.vector_size(); ++i) out.push_back(store.blocks().at(entry, i));
  return out;
}

TEST(Builder, KeepsOrderAndDuplicateIds) {
  auto made = built(2, {{{1, 2}, 7}, {{3, 4}, 7}, {{5, 6}, 1}});
  ASSERT_TRUE(made.ok());
  const Vectorstore& store = made.value();
  ASSERT_EQ(store.len(), 3u);
  EXPECT_EQ(std::vector<std::uint64_t>(store.ids().begin(), store.ids().end()),
            (std::vector<std::uint64_t>{7, 7, 1}));
  EXPECT_EQ(row(store, 2), (std::vector<float>{5, 6}));
}

TEST(Builder, FirstMismatchFailsTheWholeConstruction) {
  auto made = built(2, {{{1, 2}, 1}, {{1, 2, 3}, 2}, {{1}, 3}});
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error().message.view(), "vector has length 3 but vectorstore expects 2");
}

// Rows appended in bulk, at any lane, and dropped again, read back as
// inserts one by one would leave them: whole blocks go through the 4 x 4
// transposes, the rest element by element; dropped lanes are zeros again.
TEST(AppendReserved, MatchesInsertsAtAnyLaneAndTruncates) {
  for (const std::size_t dimension : {1u, 4u, 7u, 9u}) {
    for (const std::size_t before : {0u, 5u, 16u}) {
      const std::size_t count = 37;
      std::vector<float> rows((before + count) * dimension);
      for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i) + 0.5f;
      std::vector<std::uint64_t> numbers(before + count);
      for (std::size_t i = 0; i < numbers.size(); ++i) numbers[i] = 1000 + i;
      Vectorstore one_by_one(dimension), bulk(dimension);
      for (std::size_t r = 0; r < before + count; ++r) {
        ASSERT_TRUE(one_by_one.insert({rows.data() + r * dimension, dimension}, numbers[r]).ok());
        if (r < before) {
          ASSERT_TRUE(bulk.insert({rows.data() + r * dimension, dimension}, numbers[r]).ok());
        }
      }
      ASSERT_TRUE(bulk.try_reserve(before + count));
      bulk.append_reserved(reinterpret_cast<const char*>(rows.data() + before * dimension),
                           static_cast<std::ptrdiff_t>(dimension * sizeof(float)), {numbers.data() + before, count});
      ASSERT_EQ(bulk.len(), one_by_one.len());
      for (std::size_t r = 0; r < bulk.len(); ++r) {
        ASSERT_EQ(row(bulk, r), row(one_by_one, r)) << "dimension " << dimension << ", entry " << r;
        ASSERT_EQ(bulk.ids()[r], one_by_one.ids()[r]);
      }
      bulk.truncate(before);
      ASSERT_EQ(bulk.len(), before);
      for (std::size_t r = before; r < before + count; ++r) EXPECT_EQ(row(bulk, r), std::vector<float>(dimension, 0.0f));
    }
  }
}

TEST(Insert, RefusesWrongLengthAndLeavesTheStoreAlone) {
  Vectorstore store(2);
  auto refused = store.insert(floats({1, 2, 3}), 9);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message.view(), "vector has length 3 but vectorstore expects 2");
  EXPECT_EQ(store.len(), 0u);

  ASSERT_TRUE(store.insert(floats({1, 2}), UINT64_MAX).ok());
  ASSERT_FALSE(store.insert(floats({1}), 3).ok());
  ASSERT_EQ(store.len(), 1u);
  EXPECT_EQ(row(store, 0), (std::vector<float>{1, 2}));
  EXPECT_EQ(store.ids()[0], UINT64_MAX);
  EXPECT_EQ(store.vector_size(), 2u);
}

// Every entry scores -1 against [1, 0]; an unused lane (zeros, scoring 0.0)
// or a refused vector ([1, 0], scoring 1.0) would beat them all if offered.
TEST(Insert, FailedInsertsAndUnusedLanesNeverRank) {
  for (std::size_t count : {1, 5, 15, 16, 17, 40}) {
    Vectorstore store(2);
    for (std::uint64_t id = 0; id < count; ++id) {
      ASSERT_TRUE(store.insert(floats({-1, 0}), id).ok());
      ASSERT_FALSE(store.insert(floats({1, 0, 0}), 99).ok());
    }
    for (std::size_t top_k : {std::size_t{1}, count, kMax}) {
      auto found = store.search(std::vector<float>{1, 0}, top_k).value();
      ASSERT_EQ(found.size(), std::min(top_k, count));
      for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].id, i);
        EXPECT_EQ(found[i].score, -1.0f);
      }
    }
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(row(store, i), (std::vector<float>{-1, 0}));
  }
}

TEST(Insert, ZeroDimensionHoldsOnlyEmptyVectors) {
  Vectorstore store(0);
  EXPECT_TRUE(store.insert(floats({}), 5).ok());
  auto refused = store.insert(floats({1.0f}), 5);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message.view(), "vector has length 1 but vectorstore expects 0");
  EXPECT_EQ(store.len(), 1u);
}

Vectorstore sample_store() {
  return built(2, {{{1, 0}, 10}, {{0, 1}, 20}, {{1, 1}, 30}, {{2, 0}, 40}, {{-1, 0}, 50}}).value();
}

TEST(Search, ChecksQueryLengthBeforeAnythingElse) {
  const Vectorstore empty(2);
  const Vectorstore full = sample_store();
  for (const Vectorstore* store : {&empty, &full}) {
    for (std::size_t top_k : {std::size_t{0}, std::size_t{5}}) {
      auto result = store->search(std::vector<float>{1, 0, 0}, top_k);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().message.view(), "query has length 3 but vectorstore expects 2");
    }
  }
  auto result = empty.search(std::vector<float>{1}, 5);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message.view(), "query has length 1 but vectorstore expects 2");
  EXPECT_TRUE(empty.search(std::vector<float>{1, 0}, 5).value().empty());
}

TEST(Search, RanksBestFirstTiesInInsertionOrder) {
  const Vectorstore store = sample_store();
  const std::vector<float> query{1, 0};
  const std::vector<Line> all{
      {0x3F800000, 10}, {0x3F800000, 40}, {0x3F3504F3, 30}, {0x00000000, 20}, {0xBF800000, 50}};
  EXPECT_EQ(lines(store.search(query, 5).value()), all);
  EXPECT_EQ(lines(store.search(query, 3).value()), std::vector<Line>(all.begin(), all.begin() + 3));
  EXPECT_TRUE(store.search(query, 0).value().empty());
  EXPECT_EQ(lines(store.search(query, 6).value()), all);
  EXPECT_EQ(lines(store.search(query, kMax).value()), all);
  EXPECT_EQ(lines(store.search(std::vector<float>{0, 0}, 2).value()),
            (std::vector<Line>{{0, 10}, {0, 20}}));
}

TEST(Search, SignedZeroScoresTie) {
  // Against [1, -0.0]: [-0.0, 1] scores -0.0, [0, 1] scores +0.0.
  const Vectorstore store = built(2, {{{-0.0f, 1}, 1}, {{0, 1}, 2}, {{-0.0f, 1}, 3}}).value();
  EXPECT_EQ(lines(store.search(std::vector<float>{1, -0.0f}, 3).value()),
            (std::vector<Line>{{0x80000000, 1}, {0x00000000, 2}, {0x80000000, 3}}));
}

TEST(Search, ManyEqualScoresKeepInsertionOrder) {
  Vectorstore store(3);
  std::vector<std::uint64_t> expected;
  for (std::uint64_t id = 0; id < 100; ++id) {
    ASSERT_TRUE(store.insert(floats({0.5f, -1.0f, 2.0f}), id).ok());
    expected.push_back(id);
  }
  EXPECT_EQ(ids(store.search(std::vector<float>{0.5f, -1.0f, 2.0f}, 100).value()), expected);
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
  const auto result = store.search(std::vector<float>{1, 0}, kMax).value();
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
  const auto result = store.search(std::vector<float>{kNaN, 1}, 25).value();
  ASSERT_EQ(result.size(), 25u);
  for (std::uint64_t i = 0; i < 25; ++i) {
    EXPECT_EQ(result[i].id, i);
    EXPECT_TRUE(std::isnan(result[i].score));
  }
}

}  // namespace
}  // namespace tessaly
