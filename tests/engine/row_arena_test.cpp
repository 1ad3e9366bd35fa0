// Arrays carved back to back from a store's arena, grown and handed back.
#include <cstdint>

#include <gtest/gtest.h>

#include "engine/float_vector.hpp"
#include "engine/row_arena.hpp"

namespace tessaly {
namespace {

TEST(RowArena, CarvesBackToBackAndTakesBackOnlyTheLatest) {
  RowArena arena;
  float* first = arena.carve(128);
  float* second = arena.carve(3);  // 12 bytes, padded to 16
  float* third = arena.carve(128);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, first + 128);
  EXPECT_EQ(third, second + 4);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(third) % 16, 0u);

  arena.give_back(second);  // not the latest: kept
  arena.give_back(third);   // the latest: the next carve reuses it
  EXPECT_EQ(arena.carve(1), third);
}

TEST(FloatVector, GrowsInPlaceWhenCarvedLastAndMovesWhenNot) {
  RowArena arena;
  FloatVector grown(&arena);
  ASSERT_TRUE(grown.try_reserve(2));
  const float* start = grown.data();
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(grown.try_push_back(static_cast<float>(i)));
  EXPECT_EQ(grown.data(), start) << "the latest carve should grow in place";

  FloatVector later(&arena);
  ASSERT_TRUE(later.try_push_back(-1.0f));
  ASSERT_TRUE(grown.try_reserve(1 << 20));  // no longer the latest: carved anew, contents kept
  EXPECT_NE(grown.data(), start);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(grown[static_cast<std::size_t>(i)], static_cast<float>(i));
  EXPECT_EQ(later[0], -1.0f);
}

TEST(FloatVector, ShrinkingHandsTheUnusedReservationBack) {
  RowArena arena;
  FloatVector hinted(&arena);
  ASSERT_TRUE(hinted.try_reserve(1000));
  ASSERT_TRUE(hinted.try_push_back(1.0f));
  hinted.shrink_to_fit();
  FloatVector next(&arena);
  ASSERT_TRUE(next.try_reserve(4));
  EXPECT_EQ(next.data(), hinted.data() + 4);
}

}  // namespace
}  // namespace tessaly
