// cosine_score, checked to the bit against values worked out by hand from
// its documented rounding steps (a test-side copy of the loop would only
// repeat whatever the kernel gets wrong).
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/search/cosine.hpp"

namespace tessaly {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct CosineCase {
  std::string name;
  std::vector<float> a, b;
  std::uint32_t bits;  // the expected score; kAnyNaN for any NaN
};
constexpr std::uint32_t kAnyNaN = 0x7FC00000;

class CosineScore : public testing::TestWithParam<CosineCase> {};

TEST_P(CosineScore, GivesExactBitsInEitherOrder) {
  const CosineCase& c = GetParam();
  const float forward = cosine_score(c.a, c.b);
  const float backward = cosine_score(c.b, c.a);
  if (c.bits == kAnyNaN) {
    EXPECT_TRUE(std::isnan(forward)) << forward;
  } else {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(forward), c.bits) << forward;
  }
  // Swapping the arguments swaps only the factors of each product.
  EXPECT_EQ(std::bit_cast<std::uint32_t>(backward), std::bit_cast<std::uint32_t>(forward));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CosineScore,
    testing::Values(
        CosineCase{"parallel", {1, 2}, {2, 4}, 0x3F800000},
        CosineCase{"self_below_one", {0.1f, 0.2f, 0.3f}, {0.1f, 0.2f, 0.3f}, 0x3F7FFFFE},
        CosineCase{"self_above_one", {1.384077548980713f, 6.04530143737793f},
                   {1.384077548980713f, 6.04530143737793f}, 0x3F800001},
        CosineCase{"general", {1, 2, 3}, {4, 5, 6}, 0x3F798178},
        CosineCase{"swapped", {3, 4}, {4, 3}, 0x3F75C28F},
        CosineCase{"opposite", {1, 2, 3}, {-1, -2, -3}, 0xBF7FFFFF},
        CosineCase{"orthogonal", {1, 0}, {0, 1}, 0x00000000},
        // Both products are -0.0 and the sum starts at -0.0, so it stays there.
        CosineCase{"negative_zero_dot", {1.0f, -0.0f}, {-0.0f, 1.0f}, 0x80000000},
        CosineCase{"empty", {}, {}, 0x00000000},
        CosineCase{"zero_vector", {0, 0}, {1, 2}, 0x00000000},
        CosineCase{"negative_zero_vector", {-0.0f, -0.0f}, {1, 2}, 0x00000000},
        // The zero test is on squared norms: 1e-30 squared rounds to zero.
        CosineCase{"square_rounds_to_zero", {1e-30f}, {1}, 0x00000000},
        // A subnormal squared norm is not zero and is not flushed.
        CosineCase{"subnormal_norm", {1e-20f, 0}, {1, 1}, 0x3F350513},
        CosineCase{"square_overflows", {1e20f, 1e20f}, {1e20f, 1e20f}, kAnyNaN},
        CosineCase{"sum_overflows", {1.5e19f, 1.5e19f}, {1.5e19f, 1.5e19f}, kAnyNaN},
        // A finite dot product over an infinite norm keeps its sign.
        CosineCase{"finite_over_infinite", {-1e20f, 0}, {1, 1}, 0x80000000},
        CosineCase{"infinity", {kInf, 1}, {1, 1}, kAnyNaN},
        CosineCase{"nan", {kNaN, 1}, {1, 1}, kAnyNaN},
        // A NaN norm is not zero, so the other norm's zero test decides.
        CosineCase{"nan_against_zero", {kNaN, 1}, {0, 0}, 0x00000000},
        CosineCase{"nan_against_empty", {kNaN}, {}, 0x00000000},
        // Lengths differ: the dot product stops at the shorter one, each
        // norm covers its own array.
        CosineCase{"longer_first", {1, 2, 3}, {1, 2}, 0x3F18FD3F},
        CosineCase{"norm_over_whole_array", {3, 4, 12}, {3, 4}, 0x3EC4EC4F},
        CosineCase{"shorter_first", {1, 1}, {1, 1, 1, 1}, 0x3F3504F3},
        CosineCase{"empty_against_vector", {}, {1}, 0x00000000}),
    [](const testing::TestParamInfo<CosineCase>& c) { return c.param.name; });

TEST(CosineScoreLengths, MissingElementsActAsZeros) {
  const std::vector<float> a{1.5f, -2.25f, 3.0f, 0.125f}, b{0.75f, 4.0f};
  const std::vector<float> padded{0.75f, 4.0f, 0.0f, 0.0f};
  EXPECT_EQ(std::bit_cast<std::uint32_t>(cosine_score(a, b)),
            std::bit_cast<std::uint32_t>(cosine_score(a, padded)));
}

}  // namespace
}  // namespace tessaly
