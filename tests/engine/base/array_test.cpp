// Arrays keep their elements across growth, whichever memory holds them:
// the allocator's below 2 MiB, a huge-page mapping from there on, and the
// step from one to the other.
#include <cstddef>
#include <cstdint>

#include <gtest/gtest.h>

#include "engine/base/array.hpp"
#include "engine/base/large_memory.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kLarge = large_memory::kLargeBytes / sizeof(std::uint32_t);

bool holds_its_indices(const Array<std::uint32_t>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] != static_cast<std::uint32_t>(i * 2654435761u)) return false;
  }
  return true;
}

TEST(Array, KeepsItsElementsInEveryKindOfMemory) {
  struct Growth {
    const char* name;
    std::size_t first, then;
  };
  const Growth growths[] = {{"small to small", 1000, 5000},
                            {"small to large", kLarge / 2, kLarge + 3},
                            {"large to large", kLarge + 1, 3 * kLarge + 5},
                            {"within a mapping's rounding", kLarge + 1, kLarge + 100}};
  for (const Growth& growth : growths) {
    Array<std::uint32_t> values;
    ASSERT_TRUE(values.try_reserve(growth.first)) << growth.name;
    for (std::size_t i = 0; i < growth.first; ++i) {
      values.push_back_reserved(static_cast<std::uint32_t>(i * 2654435761u));
    }
    ASSERT_TRUE(values.try_reserve(growth.then)) << growth.name;
    EXPECT_EQ(values.size(), growth.first) << growth.name;
    EXPECT_TRUE(holds_its_indices(values)) << growth.name;
    for (std::size_t i = growth.first; i < growth.then; ++i) {
      values.push_back_reserved(static_cast<std::uint32_t>(i * 2654435761u));
    }
    EXPECT_TRUE(holds_its_indices(values)) << growth.name;
    Array<std::uint32_t> moved(std::move(values));
    EXPECT_TRUE(holds_its_indices(moved)) << growth.name;
  }
}

TEST(Array, GrowsByDoublingIntoLargeMemory) {
  Array<std::uint32_t> values;
  for (std::size_t i = 0; i < 2 * kLarge + 7; ++i) {
    ASSERT_TRUE(values.try_push_back(static_cast<std::uint32_t>(i * 2654435761u)));
  }
  EXPECT_TRUE(holds_its_indices(values));
}

TEST(LargeMemory, BlocksAreAlignedZeroedAndMoveWhole) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  for (const std::size_t bytes : {kHugePage, kHugePage + 1, 5 * kHugePage - 3}) {
    auto* block = static_cast<unsigned char*>(large_memory::allocate(bytes));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kHugePage, 0u);
    EXPECT_EQ(block[0] | block[bytes - 1], 0);
    block[0] = 1;
    block[bytes - 1] = 2;
    auto* grown = static_cast<unsigned char*>(large_memory::reallocate(block, bytes, 3 * bytes));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[0], 1);
    EXPECT_EQ(grown[bytes - 1], 2);
    EXPECT_EQ(grown[3 * bytes - 1], 0);
    large_memory::release(grown, 3 * bytes);
  }
}

}  // namespace
}  // namespace tessaly
