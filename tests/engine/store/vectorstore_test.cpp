// Building the store, inserting and appending to it, and truncating it.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "engine/store/vectorstore.hpp"
#include "engine/store/vectorstore_builder.hpp"
#include "tests/engine/arrays.hpp"

namespace tessaly {
namespace {

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

TEST(Insert, ZeroDimensionHoldsOnlyEmptyVectors) {
  Vectorstore store(0);
  EXPECT_TRUE(store.insert(floats({}), 5).ok());
  auto refused = store.insert(floats({1.0f}), 5);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message.view(), "vector has length 1 but vectorstore expects 0");
  EXPECT_EQ(store.len(), 1u);
}

}  // namespace
}  // namespace tessaly
