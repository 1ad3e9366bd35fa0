// Blocks given back as rows: every version, whole blocks and ranges that
// start, end and cross chunks anywhere, bit for bit.
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/base/instruction_sets.hpp"
#include "engine/store/row_copy.hpp"
#include "engine/store/row_copy_block.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {
namespace {

// A float of distinct bits for each place; every 7th a NaN whose payload
// tells the place, so that a quieting move or a swapped lane shows.
float bits_of(std::size_t place) {
  const auto value = static_cast<std::uint32_t>(place);
  return std::bit_cast<float>(place % 7 == 0 ? 0x7F800001u + value : 0x3F800000u + value);
}

std::vector<std::uint32_t> as_bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> out(values.size());
  if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * sizeof(float));
  return out;
}

std::vector<std::pair<const char*, row_copy::CopyBlock>> versions() {
  std::vector<std::pair<const char*, row_copy::CopyBlock>> found = {{"portable", row_copy::portable_block}};
#if defined(__x86_64__) || defined(__i386__)
  if (instruction_sets().avx2) found.emplace_back("avx2", row_copy::avx2_block);
#endif
  return found;
}

TEST(RowCopy, EveryVersionTransposesAWholeBlock) {
  for (const auto& [name, copy] : versions()) {
    for (const std::size_t d : {1u, 3u, 4u, 7u, 8u, 9u, 16u, 17u, 33u}) {
      alignas(64) float block[33 * kBlockLanes];  // lines start on 64 bytes, as in a store
      for (std::size_t k = 0; k < d * kBlockLanes; ++k) block[k] = bits_of(k);
      std::vector<float> out(d * kBlockLanes), expected(d * kBlockLanes);
      for (std::size_t j = 0; j < kBlockLanes; ++j) {
        for (std::size_t i = 0; i < d; ++i) expected[j * d + i] = block[i * kBlockLanes + j];
      }
      copy(block, d, out.data());
      EXPECT_EQ(as_bits(out), as_bits(expected)) << name << ", d " << d;
    }
  }
}

// Inserted one by one, the rows fill chunks that double from 64 KiB: at
// 128 elements the first holds 128 entries and the second 256 more.
TEST(RowCopy, RangesGiveTheRowsAsInserted) {
  for (const std::size_t d : {0u, 5u, 128u}) {
    Vectorstore store(d);
    std::vector<float> rows(400 * d);
    for (std::size_t k = 0; k < rows.size(); ++k) rows[k] = bits_of(k);
    for (std::size_t r = 0; r < 400; ++r) ASSERT_TRUE(store.insert({rows.data() + r * d, d}, r).ok());
    const std::pair<std::size_t, std::size_t> ranges[] = {{0, 400}, {5, 21}, {16, 32}, {3, 3},
                                                          {120, 140}, {100, 390}, {399, 400}};
    for (const auto& [first, last] : ranges) {
      std::vector<float> out((last - first) * d + 1, bits_of(99'999));  // one float past the end, untouched
      copy_rows(store.blocks(), first, last, out.data());
      const std::vector<float> expected(rows.begin() + static_cast<std::ptrdiff_t>(first * d),
                                        rows.begin() + static_cast<std::ptrdiff_t>(last * d));
      EXPECT_EQ(as_bits({out.begin(), out.end() - 1}), as_bits(expected)) << "d " << d << ", " << first << " to " << last;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(out.back()), std::bit_cast<std::uint32_t>(bits_of(99'999)));
    }
  }
}

}  // namespace
}  // namespace tessaly
