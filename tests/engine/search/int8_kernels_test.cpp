// Every path's first-pass kernels must give the scalar kernel's sums, which
// are the plain integer dot products, one query at a time and in groups of
// every size; and the kernel paths must come narrowest first, named once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "engine/runtime/kernel_path.hpp"
#include "engine/search/block_kernels.hpp"
#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"
#include "engine/store/int8_quantization.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kLineBytes = kBlockLanes * kInt8LaneElements;
constexpr std::int32_t kUnwritten = 0x5EADBEEF;

// 64-byte aligned bytes, as the store's blocks are.
struct Aligned {
  struct Free {
    void operator()(std::int8_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
  };
  std::unique_ptr<std::int8_t[], Free> bytes;
  explicit Aligned(std::size_t size)
      : bytes(static_cast<std::int8_t*>(::operator new[](size + 1, std::align_val_t{64}))) {}
};

// How a lane's (or a query's) elements are drawn: at random, from the
// extremes and zero, or all at one extreme, so that sums reach their
// largest magnitudes of either sign.
enum class Draw { random, extremes, top, bottom };
constexpr Draw kDraws[] = {Draw::random, Draw::extremes, Draw::top, Draw::bottom};

std::int8_t element(std::mt19937& rng, Draw draw, int limit) {
  switch (draw) {
    case Draw::random: return static_cast<std::int8_t>(std::uniform_int_distribution<int>(-limit, limit)(rng));
    case Draw::extremes: {
      const int pick = std::uniform_int_distribution<int>(0, 2)(rng);
      return static_cast<std::int8_t>(pick == 0 ? -limit : pick == 1 ? limit : 0);
    }
    case Draw::top: return static_cast<std::int8_t>(limit);
    case Draw::bottom: return static_cast<std::int8_t>(-limit);
  }
  return 0;
}

// `count` blocks of `dimension` elements in the layout of Int8Copy, with
// junk bytes after the last so that a kernel reading past it shows; the
// elements of entry e are also kept plainly in rows[e].
struct Blocks {
  std::size_t lines;
  std::size_t count;
  Aligned memory;
  std::vector<std::vector<std::int8_t>> rows;

  Blocks(std::mt19937& rng, std::size_t dimension, std::size_t blocks)
      : lines((dimension + 3) / 4), count(blocks), memory((blocks + 1) * lines * kLineBytes + 256) {
    const std::size_t bytes = (blocks + 1) * lines * kLineBytes + 256;
    for (std::size_t i = 0; i < bytes; ++i) memory.bytes[i] = static_cast<std::int8_t>(rng());
    for (std::size_t entry = 0; entry < blocks * kBlockLanes; ++entry) {
      const Draw draw = kDraws[entry % std::size(kDraws)];
      std::vector<std::int8_t> row(dimension);
      for (std::int8_t& x : row) x = element(rng, draw, 127);
      std::int8_t* lane = data() + entry / kBlockLanes * lines * kLineBytes + entry % kBlockLanes * kInt8LaneElements;
      for (std::size_t i = 0; i < lines * kInt8LaneElements; ++i) {
        lane[i / kInt8LaneElements * kLineBytes + i % kInt8LaneElements] = i < dimension ? row[i] : 0;
      }
      rows.push_back(std::move(row));
    }
  }
  std::int8_t* data() const { return memory.bytes.get(); }
};

struct Query {
  std::vector<std::int8_t> elements;  // lines * 4, zero past the dimension
  std::int32_t bias = 0;
};

Query query(std::mt19937& rng, std::size_t dimension, std::size_t lines, Draw draw) {
  Query made{std::vector<std::int8_t>(lines * kInt8LaneElements, 0)};
  for (std::size_t i = 0; i < dimension; ++i) {
    made.elements[i] = element(rng, draw, 127);
    made.bias += 128 * made.elements[i];
  }
  return made;
}

std::int32_t plain_dot(const std::vector<std::int8_t>& row, const Query& q) {
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < row.size(); ++i) sum += std::int64_t{row[i]} * q.elements[i];
  EXPECT_EQ(sum, static_cast<std::int32_t>(sum));
  return static_cast<std::int32_t>(sum);
}

// A group's interleaved elements, followed by junk that a kernel reading
// past them would add in.
struct Group {
  std::vector<std::int8_t> interleaved;
  Int8QueryGroup group;
};

Group group_of(const std::vector<Query>& queries, std::size_t first, std::size_t count, std::size_t lines) {
  Group made{std::vector<std::int8_t>(lines * count * kInt8LaneElements + 64, 99), {count, lines, nullptr, {}}};
  for (std::size_t k = 0; k < count; ++k) {
    const Query& q = queries[first + k];
    made.group.bias[k] = q.bias;
    for (std::size_t j = 0; j < lines; ++j) {
      std::copy_n(q.elements.begin() + static_cast<std::ptrdiff_t>(j * kInt8LaneElements), kInt8LaneElements,
                  made.interleaved.begin() + static_cast<std::ptrdiff_t>((j * count + k) * kInt8LaneElements));
    }
  }
  made.group.interleaved = made.interleaved.data();
  return made;
}

// Runs every path's kernels over `blocks` against `queries` (at least
// kMaxInt8Group + 1 of them) and compares them with the scalar kernel,
// whose sums are first compared with the plain ones.
void check_every_path(const Blocks& blocks, const std::vector<Query>& queries, std::size_t largest_group) {
  const std::size_t lanes = blocks.count * kBlockLanes;
  const std::size_t lines = blocks.lines;
  // One query at a time, over the whole run and block by block.
  for (const Query& q : queries) {
    const Int8Query one{q.elements.data(), lines, q.bias};
    std::vector<std::int32_t> scalar(lanes + 16, kUnwritten);
    kernels::scalar_int8.dot(one, blocks.data(), blocks.count, scalar.data());
    for (std::size_t e = 0; e < lanes; ++e) ASSERT_EQ(scalar[e], plain_dot(blocks.rows[e], q)) << "entry " << e;
    for (const KernelPath path : available_kernel_paths()) {
      SCOPED_TRACE(kernel_path_name(path));
      const Int8Kernels& kernels = int8_kernels(path);
      for (const std::size_t most : {blocks.count, std::size_t{1}}) {
        std::vector<std::int32_t> out(lanes + 16, kUnwritten);
        for (std::size_t b = 0; b < blocks.count; b += most) {
          kernels.dot(one, blocks.data() + b * lines * kLineBytes, std::min(most, blocks.count - b),
                      out.data() + b * kBlockLanes);
        }
        ASSERT_EQ(out, scalar) << "runs of " << most << " blocks";
      }
    }
  }
  // Batches of every size up to one past each path's group (up to
  // `largest_group`), so that the last group takes every size; rows of
  // results further apart than a run, so that writing past one shows.
  const std::size_t stride = lanes + 3;
  for (const KernelPath path : available_kernel_paths()) {
    SCOPED_TRACE(kernel_path_name(path));
    const Int8Kernels& kernels = int8_kernels(path);
    ASSERT_GE(kernels.group_size, 1u);
    ASSERT_LE(kernels.group_size, kMaxInt8Group);
    for (std::size_t size = 1; size <= std::min(kernels.group_size + 1, largest_group); ++size) {
      for (std::size_t first = 0; first < size; first += kernels.group_size) {
        const std::size_t count = std::min(kernels.group_size, size - first);
        const Group made = group_of(queries, first, count, lines);
        std::vector<std::int32_t> scalar(count * stride, kUnwritten), out(count * stride, kUnwritten);
        kernels::scalar_int8.dot_group(made.group, blocks.data(), blocks.count, scalar.data(), stride);
        kernels.dot_group(made.group, blocks.data(), blocks.count, out.data(), stride);
        for (std::size_t k = 0; k < count; ++k) {
          for (std::size_t e = 0; e < lanes; ++e) {
            ASSERT_EQ(scalar[k * stride + e], plain_dot(blocks.rows[e], queries[first + k]))
                << "scalar, query " << first + k << " of a batch of " << size << ", entry " << e;
          }
        }
        ASSERT_EQ(out, scalar) << "queries " << first << " to " << first + count - 1 << " of a batch of " << size;
      }
    }
  }
}

std::vector<Query> queries_for(std::mt19937& rng, std::size_t dimension, std::size_t lines) {
  std::vector<Query> made;
  for (std::size_t k = 0; k < 2 * kMaxInt8Group + 1; ++k) made.push_back(query(rng, dimension, lines, kDraws[k % 4]));
  return made;
}

const std::size_t kDimensions[] = {0, 1, 3, 4, 5, 7, 8, 63, 64, 65, 127, 128, 129, 768};
const std::size_t kBlockCounts[] = {1, 2, 3, 4, 5, 9};

TEST(Int8Kernels, EveryPathMatchesTheScalarKernel) {
  std::mt19937 rng(11);
  for (const std::size_t dimension : kDimensions) {
    for (const std::size_t count : kBlockCounts) {
      SCOPED_TRACE(testing::Message() << "dimension " << dimension << ", " << count << " blocks");
      const Blocks blocks(rng, dimension, count);
      check_every_path(blocks, queries_for(rng, dimension, blocks.lines), kMaxInt8Group + 1);
    }
  }
}

// The largest dimension the bound covers, with every product at its
// largest magnitude: the sums stay within 32 bits on every path.
TEST(Int8Kernels, LargestDimensionIsExact) {
  std::mt19937 rng(12);
  const std::size_t dimension = kMostCoveredDimension;
  const Blocks blocks(rng, dimension, 1);
  std::vector<Query> queries;
  for (const Draw draw : {Draw::top, Draw::bottom, Draw::extremes}) queries.push_back(query(rng, dimension, blocks.lines, draw));
  check_every_path(blocks, queries, queries.size());
}

TEST(KernelPaths, ScalarFirstThenNarrowestToWidest) {
  const auto paths = available_kernel_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), KernelPath::scalar);
  EXPECT_EQ(paths.back(), best_kernel_path());
  for (std::size_t i = 1; i < paths.size(); ++i) EXPECT_LT(paths[i - 1], paths[i]);
}

TEST(KernelPaths, NamesRoundTrip) {
  const struct {
    KernelPath path;
    std::string_view name;
  } named[] = {{KernelPath::scalar, "scalar"},       {KernelPath::sse2, "sse2"},
               {KernelPath::avx2, "avx2"},           {KernelPath::avx2_vnni, "avx2_vnni"},
               {KernelPath::avx512, "avx512"},       {KernelPath::avx512_vnni, "avx512_vnni"},
               {KernelPath::neon, "neon"},           {KernelPath::neon_dot, "neon_dot"}};
  ASSERT_EQ(std::size(named), kKernelPathCount);
  for (const auto& [path, name] : named) {
    EXPECT_EQ(kernel_path_name(path), name);
    std::size_t found = 0;
    for (std::size_t i = 0; i < kKernelPathCount; ++i) found += kernel_path_name(static_cast<KernelPath>(i)) == name;
    EXPECT_EQ(found, 1u) << name;
  }
}

// A path with integer dot products scores floats as the path without them.
TEST(KernelPaths, DotProductPathsScoreFloatsAsTheirBase) {
  const struct {
    KernelPath path;
    KernelPath base;
  } pairs[] = {{KernelPath::avx2_vnni, KernelPath::avx2},
               {KernelPath::avx512_vnni, KernelPath::avx512},
               {KernelPath::neon_dot, KernelPath::neon}};
  for (const auto& [path, base] : pairs) EXPECT_EQ(&block_kernels(path), &block_kernels(base)) << kernel_path_name(path);
}

}  // namespace
}  // namespace tessaly
