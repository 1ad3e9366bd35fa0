// A store with the int8 first pass ranks exactly as one without it: the
// same score bits, ids and order, on data chosen to sit on the bound's
// edges, for every kernel path and worker count.
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "engine/base/float_environment.hpp"
#include "engine/search/batch_search.hpp"
#include "engine/search/first_pass_selection.hpp"
#include "engine/search/range_selection.hpp"
#include "engine/search/search.hpp"

namespace tessaly {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using Rows = std::vector<std::vector<float>>;
using Line = std::pair<std::uint32_t, std::uint64_t>;

std::vector<Line> lines(const EngineResult<Array<ResultPair>>& found) {
  std::vector<Line> out;
  for (const ResultPair& p : found.value()) out.emplace_back(std::bit_cast<std::uint32_t>(p.score), p.id);
  return out;
}

std::vector<float> gaussian(std::mt19937& rng, std::size_t d) {
  std::normal_distribution<float> normal;
  std::vector<float> v(d);
  for (float& x : v) x = normal(rng);
  return v;
}

// Stores of 6,000 entries (several runs, and chunks large enough for a
// first pass each), row i made by make(rng, i).
using Maker = std::function<std::vector<float>(std::mt19937&, std::size_t, std::size_t)>;
const std::pair<const char*, Maker> kData[] = {
    {"gaussian", [](std::mt19937& rng, std::size_t, std::size_t d) { return gaussian(rng, d); }},
    {"exact ties and one-ulp neighbours", [](std::mt19937& rng, std::size_t i, std::size_t d) {
       static std::vector<float> base;
       if (base.size() != d) base = gaussian(rng, d);
       std::vector<float> row = base;
       if (i % 3 == 1) row[i % d] = std::nextafter(row[i % d], kInf);
       if (i % 3 == 2) row = gaussian(rng, d);
       return row;
     }},
    {"quantization half-steps", [](std::mt19937& rng, std::size_t, std::size_t d) {
       std::vector<float> row(d);
       for (float& x : row) x = static_cast<float>((static_cast<int>(rng() % 254) - 127 + 0.5) / 127.0);
       row[0] = 1.0f;
       return row;
     }},
    {"an outlier element per row", [](std::mt19937& rng, std::size_t i, std::size_t d) {
       std::vector<float> row = gaussian(rng, d);
       row[i % d] = 300.0f;
       return row;
     }},
    {"zeros, NaN, infinities, subnormals, huge", [](std::mt19937& rng, std::size_t i, std::size_t d) {
       std::vector<float> row = gaussian(rng, d);
       switch (i % 9) {
         case 0: row.assign(d, 0.0f); break;
         case 1: row[0] = kNaN; break;
         case 2: row[d - 1] = -kInf; break;
         case 3: row[0] = 1e-42f; break;
         case 4: for (float& x : row) x *= 1e30f; break;
         default: break;
       }
       return row;
     }},
    {"near-duplicates of one vector", [](std::mt19937& rng, std::size_t, std::size_t d) {
       static std::vector<float> base;
       if (base.size() != d) base = gaussian(rng, d);
       std::vector<float> row = base;
       row[rng() % d] += 1e-6f;
       return row;
     }},
};

// A store with and without the copy, of 6,000 entries made by `make`, and
// queries: fresh ones, stored rows (exact ties at the top), and ones the
// bound does not cover (a zero vector, a NaN).
struct Sample {
  Vectorstore plain, copied;
  Rows queries;
};

Sample sample(std::mt19937& rng, const Maker& make, std::size_t d, std::size_t fresh) {
  constexpr std::size_t kEntries = 6000;
  Sample s{Vectorstore(d), Vectorstore(d, CompactCopy::int8), {}};
  Rows rows;
  for (std::size_t i = 0; i < kEntries; ++i) {
    rows.push_back(make(rng, i, d));
    EXPECT_TRUE(s.plain.insert(rows.back(), i % 1000).ok());
    EXPECT_TRUE(s.copied.insert(rows.back(), i % 1000).ok());
  }
  for (std::size_t q = 0; q < fresh; ++q) s.queries.push_back(gaussian(rng, d));
  s.queries.insert(s.queries.end(), {rows[7], rows[kEntries - 1], std::vector<float>(d, 0.0f)});
  s.queries.push_back(gaussian(rng, d));
  s.queries.back()[0] = kNaN;
  return s;
}

TEST(FirstPass, RanksExactlyAsTheFloatScan) {
  std::mt19937 rng(17);
  for (const auto& [name, make] : kData) {
    for (const std::size_t d : {3u, 16u, 130u}) {
      const Sample s = sample(rng, make, d, 1);
      const Vectorstore& plain = s.plain;
      const Vectorstore& copied = s.copied;
      for (const std::vector<float>& query : s.queries) {
        for (const std::size_t top_k : {1u, 10u, 100u, 375u}) {
          SCOPED_TRACE(testing::Message() << name << ", d " << d << ", top_k " << top_k);
          const auto expected = lines(search(plain, query, top_k));
          for (const KernelPath path : available_kernel_paths()) {
            ASSERT_EQ(lines(search(copied, query, top_k, path)), expected) << kernel_path_name(path);
          }
          for (const std::size_t n : {2u, 3u}) ASSERT_EQ(lines(parallel_search(copied, query, top_k, n)), expected);
          // The two stages themselves, also where a search would not take
          // them for so large a top_k: many candidates, blocks shared.
          const FloatEnvironment environment;
          const FirstPassQuery quantized = std::move(quantize_query(query, copied.int8_copy()->lines())).value();
          if (!quantized.covered) continue;
          const auto one = select_top(plain, query, top_k, 0, plain.len(), KernelPath::scalar).value();
          const auto two =
              select_top_in_two_stages(copied, query, quantized, top_k, 0, copied.len(), best_kernel_path()).value();
          ASSERT_EQ(two.size(), one.size());
          for (std::size_t i = 0; i < one.size(); ++i) {
            ASSERT_EQ(two[i].entry, one[i].entry) << i;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(two[i].score), std::bit_cast<std::uint32_t>(one[i].score)) << i;
          }
        }
      }
    }
  }
}

TEST(FirstPass, BatchesRankExactlyAsTheFloatScan) {
  std::mt19937 rng(29);
  using Mode = WorkerRequest::Mode;
  for (const auto& [name, make] : kData) {
    for (const std::size_t d : {5u, 130u}) {
      const Sample s = sample(rng, make, d, 20);
      std::vector<std::span<const float>> spans(s.queries.begin(), s.queries.end());
      const QueryRows rows = QueryBatch(spans);
      for (const std::size_t top_k : {1u, 10u, 150u}) {
        for (const WorkerRequest request : {WorkerRequest{Mode::calling_thread, {}}, WorkerRequest{Mode::per_call, 3}}) {
          SCOPED_TRACE(testing::Message() << name << ", d " << d << ", top_k " << top_k);
          for (const KernelPath path : available_kernel_paths()) {
            auto one = BatchSearch::plan(s.plain, rows, top_k, request, path);
            auto two = BatchSearch::plan(s.copied, rows, top_k, request, path);
            const std::size_t cells = one.value().rows() * one.value().width();
            std::vector<float> scores[2] = {std::vector<float>(cells), std::vector<float>(cells)};
            std::vector<std::uint64_t> ids[2] = {std::vector<std::uint64_t>(cells), std::vector<std::uint64_t>(cells)};
            Interruption never;
            ASSERT_TRUE(one.value().run({scores[0].data(), ids[0].data(), one.value().width()}, never).ok());
            ASSERT_TRUE(two.value().run({scores[1].data(), ids[1].data(), two.value().width()}, never).ok());
            ASSERT_EQ(ids[1], ids[0]) << kernel_path_name(path);
            for (std::size_t i = 0; i < cells; ++i) {
              ASSERT_EQ(std::bit_cast<std::uint32_t>(scores[1][i]), std::bit_cast<std::uint32_t>(scores[0][i]));
            }
          }
        }
      }
    }
  }
}

// The two stages themselves, where a plain search would not take them: a
// range of any size, ranked as select_top ranks it.
TEST(FirstPass, TwoStagesOverAnyRange) {
  std::mt19937 rng(5);
  const std::size_t d = 24;
  Vectorstore plain(d), copied(d, CompactCopy::int8);
  for (std::size_t i = 0; i < 3000; ++i) {
    const std::vector<float> row = gaussian(rng, d);
    ASSERT_TRUE(plain.insert(row, i).ok());
    ASSERT_TRUE(copied.insert(row, i).ok());
  }
  const FloatEnvironment environment;
  for (const auto& [first, last] : {std::pair<std::size_t, std::size_t>{0, 1}, {5, 21}, {16, 32}, {1, 2999}, {0, 3000}}) {
    const std::vector<float> query = gaussian(rng, d);
    const FirstPassQuery quantized = std::move(quantize_query(query, copied.int8_copy()->lines())).value();
    for (const std::size_t top_k : {1u, 5u, 16u, 3000u}) {
      const auto two = select_top_in_two_stages(copied, query, quantized, top_k, first, last, best_kernel_path());
      const auto one = select_top(plain, query, top_k, first, last, KernelPath::scalar);
      ASSERT_EQ(two.value().size(), one.value().size());
      for (std::size_t i = 0; i < one.value().size(); ++i) {
        ASSERT_EQ(two.value()[i].entry, one.value()[i].entry) << first << ".." << last << ", top_k " << top_k;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(two.value()[i].score), std::bit_cast<std::uint32_t>(one.value()[i].score));
      }
    }
  }
}

}  // namespace
}  // namespace tessaly
